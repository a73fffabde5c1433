#!/usr/bin/env bash
# Creates a virtual environment in .venv, installs the package into it and
# solves the bundled DIMACS example through the command line.
# Usage: bash scripts/run_example.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# A compiler, the Python headers and venv support (Debian and Ubuntu).
if ! command -v g++ >/dev/null || ! python3 -c "import ensurepip" 2>/dev/null ||
   ! python3 -c "import os, sysconfig; assert os.path.exists(sysconfig.get_paths()['include'] + '/Python.h')" 2>/dev/null; then
  as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++ python3-dev python3-venv >/dev/null
fi
[ -x .venv/bin/python ] || python3 -m venv .venv
.venv/bin/python -m pip install --quiet --disable-pip-version-check .
.venv/bin/zelk-mcf solve examples/transport.min
