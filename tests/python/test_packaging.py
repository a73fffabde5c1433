"""Packaging: one version everywhere, licence metadata, only init symbols exported."""

import importlib.metadata
import shutil
import subprocess

import pytest
import zelk_mcf
from zelk_mcf import _core, _tools


def test_single_version_and_licence():
    meta = importlib.metadata.metadata("zelk_mcf")
    assert meta["Version"] == _core.__version__ == zelk_mcf.__version__ == "0.2.0"
    assert meta["License-Expression"] == "MIT"
    assert "LICENSE" in meta.get_all("License-File")
    assert "Operating System :: POSIX :: Linux" in meta.get_all("Classifier")
    assert any(
        ep.name == "zelk-mcf" for ep in importlib.metadata.entry_points(group="console_scripts")
    )


@pytest.mark.parametrize("module", [_core, _tools], ids=["_core", "_tools"])
def test_only_the_init_symbol_is_exported(module):
    assert module.__file__.endswith(".abi3.so")
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not available")
    out = subprocess.run(
        [nm, "-D", "--defined-only", module.__file__], capture_output=True, text=True, check=True
    )
    names = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert names == [f"PyInit_{module.__name__.rsplit('.', 1)[1]}"]
