#!/usr/bin/env bash
# Builds and runs every test: the C++ unit tests (GoogleTest), then the Python tests against a
# fresh install of the package.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}

cmake -S . -B build/cpp-tests -DKOV_BUILD_TESTS=ON -DKOV_BUILD_PYTHON=OFF -DCMAKE_BUILD_TYPE=Release
cmake --build build/cpp-tests --parallel "$(nproc)"
ctest --test-dir build/cpp-tests --output-on-failure

"$python" -m pip install --quiet ".[test]"
"$python" -m pytest
