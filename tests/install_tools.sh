#!/usr/bin/env bash
# Installs what the test command needs and a fresh machine may lack: g++, CMake, GoogleTest (the
# packaged library and its sources), and clang with libc++ for the build with the macOS toolchain.
# System packages come from apt-get, which needs root; without it the missing packages are named
# and the run stops. On systems without dpkg a missing CMake comes from pip instead.
set -euo pipefail
python=${PYTHON:-python3}

missing=()
package_installed() {
  dpkg -s "$1" >/dev/null 2>&1
}
if command -v dpkg >/dev/null 2>&1; then
  for package in g++ libgtest-dev googletest clang libc++-dev libc++abi-dev; do
    package_installed "$package" || missing+=("$package")
  done
  command -v cmake >/dev/null 2>&1 || missing+=(cmake)
else
  command -v g++ >/dev/null 2>&1 || missing+=(g++)
  command -v clang++ >/dev/null 2>&1 || missing+=(clang)
  [[ -f "${GTEST_SOURCE_DIR:-/usr/src/googletest}/CMakeLists.txt" ]] || missing+=(googletest)
fi

if ((${#missing[@]} > 0)); then
  if [[ $(id -u) -ne 0 ]] || ! command -v apt-get >/dev/null 2>&1; then
    echo "The tests need these packages, which are not installed: ${missing[*]}" >&2
    echo "Installing them needs root and apt-get (Debian, Ubuntu); as root, run:" >&2
    echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
    echo "or install the equivalents with your system's package manager, then run this again." >&2
    exit 1
  fi
  echo "Installing ${missing[*]} ..."
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if ! command -v cmake >/dev/null 2>&1; then
  echo "Installing CMake into the Python environment ..."
  "$python" -m pip install --quiet cmake
fi
