import importlib.resources
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).parents[2]
# quickstart.py passes strings where numbers belong on purpose, to show the error a caller meets.
DELIBERATELY_ILL_TYPED = {"quickstart.py"}
EXAMPLES = sorted(
    str(path.relative_to(ROOT))
    for path in (ROOT / "examples").glob("*.py")
    if path.name not in DELIBERATELY_ILL_TYPED
)


def mypy(*arguments):
    pytest.importorskip("mypy")
    # Run from the repository so that the [tool.mypy] settings of pyproject.toml apply.
    return subprocess.run(
        [sys.executable, "-m", *arguments], capture_output=True, text=True, cwd=ROOT, timeout=600
    )


@pytest.mark.parametrize("name", ["py.typed", "_core.pyi"])
def test_installed_package_carries_its_types(name):
    assert importlib.resources.files("kov_sr").joinpath(name).is_file()


def test_stub_matches_the_compiled_module():
    completed = mypy("mypy.stubtest", "kov_sr._core")
    assert completed.returncode == 0, completed.stdout + completed.stderr


def test_package_and_examples_type_check_strictly():
    completed = mypy("mypy", "python/kov_sr", *EXAMPLES)
    assert completed.returncode == 0, completed.stdout + completed.stderr
