#!/usr/bin/env bash
# Builds and runs every test, on a fresh machine too: first installs the tools it needs
# (tests/install_tools.sh), then runs the C++ unit tests (GoogleTest) in two builds (the native
# one; one with every portable fallback forced, built by clang with libc++, the macOS toolchain),
# then the Python tests against a fresh install of the package, then the wheel a user without a
# compiler gets (tests/check_wheel.sh), then both suites again under the address
# and undefined-behaviour sanitizers (tests/run_sanitizers.sh; KOV_SKIP_SANITIZERS=1 skips that
# step locally, CI runs it).
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
PYTHON="$python" bash tests/install_tools.sh
# A CMake that pip installed lives beside the interpreter.
PATH="$PATH:$(dirname "$(command -v "$python")")"

cpp_tests() {
  local build=$1
  shift
  cmake -S . -B "$build" -DKOV_BUILD_TESTS=ON -DKOV_BUILD_PYTHON=OFF -DCMAKE_BUILD_TYPE=Release "$@"
  cmake --build "$build" --parallel "$(nproc)"
  ctest --test-dir "$build" --output-on-failure
}

cpp_tests build/cpp-tests
# One build covers both other platforms' paths: every portable fallback forced, compiled by clang
# against libc++ (the macOS toolchain). GoogleTest is built from its sources here: the packaged
# library is built against libstdc++.
CC=clang CXX=clang++ cpp_tests build/clang-libcxx-portable -DKOV_PORTABLE=ON \
  -DKOV_GTEST_SOURCE_DIR="${GTEST_SOURCE_DIR:-/usr/src/googletest}" \
  -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++

"$python" -m pip install --quiet ".[test]"
"$python" -m pytest
PYTHON="$python" bash tests/check_wheel.sh

if [[ "${KOV_SKIP_SANITIZERS:-0}" != 1 ]]; then
  PYTHON="$python" bash tests/run_sanitizers.sh
fi
