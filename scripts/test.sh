#!/usr/bin/env bash
# Installs every prerequisite, builds, and runs all tests (C++ and Python).
# Usage: bash scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# C++ test framework (Debian).
if [ ! -f /usr/include/gtest/gtest.h ]; then
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev g++ >/dev/null
fi

# Build tools and Python test dependencies, in a virtual environment (.venv)
# so that nothing touches the system's Python.
if ! python3 -c "import ensurepip" 2>/dev/null ||
   ! python3 -c "import os, sysconfig; assert os.path.exists(sysconfig.get_paths()['include'] + '/Python.h')" 2>/dev/null; then
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3-dev python3-venv >/dev/null
fi
# Packages the system already has are reused; the rest go into .venv.
[ -x .venv/bin/python ] || python3 -m venv --system-site-packages .venv
export PATH="$PWD/.venv/bin:$PATH"
python3 -m pip install --quiet --disable-pip-version-check "cmake>=3.26" ninja \
  "scikit-build-core>=0.10" "numpy>=2.0.1" "pytest>=7" "scipy>=1.11" \
  "hypothesis>=6" "networkx>=3" "dask[distributed]>=2024.1" \
  "clang-format==23.1.5" "ruff==0.17.6"

# Code health: includes point down the layers (bindings -> driver -> ... ->
# base), C++ follows .clang-format, Python passes the linter and formatter.
python3 scripts/check_layers.py
clang-format --dry-run --Werror $(git ls-files '*.cpp' '*.hpp')
ruff check python tests benchmarks examples scripts
ruff format --check python tests benchmarks examples scripts

# C++ core tests, with address and undefined-behaviour sanitizers.
cmake -S . -B build/tests -G Ninja -DZELK_BUILD_TESTS=ON -DZELK_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/tests
ctest --test-dir build/tests --output-on-failure --no-tests=error -j 2

# The package itself, then its Python tests. Exit code 5 (nothing collected)
# is a failure too, which plain `set -e` already treats it as.
python3 -m pip install --quiet --disable-pip-version-check --no-build-isolation .
python3 -m pytest -q -p no:cacheprovider
