#!/usr/bin/env bash
# Builds and runs every test: the C++ unit tests (GoogleTest), then the Python tests against a
# fresh install of the package, then both again under the address and undefined-behaviour
# sanitizers (tests/run_sanitizers.sh; KOV_SKIP_SANITIZERS=1 skips that step locally, CI runs it).
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}

cmake -S . -B build/cpp-tests -DKOV_BUILD_TESTS=ON -DKOV_BUILD_PYTHON=OFF -DCMAKE_BUILD_TYPE=Release
cmake --build build/cpp-tests --parallel "$(nproc)"
ctest --test-dir build/cpp-tests --output-on-failure

"$python" -m pip install --quiet ".[test]"
"$python" -m pytest

if [[ "${KOV_SKIP_SANITIZERS:-0}" != 1 ]]; then
  PYTHON="$python" bash tests/run_sanitizers.sh
fi
