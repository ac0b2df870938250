import pathlib
import subprocess
import sys

import pytest

EXAMPLES = sorted((pathlib.Path(__file__).parents[2] / "examples").glob("*.py"))


@pytest.mark.parametrize("script", EXAMPLES, ids=[p.name for p in EXAMPLES])
def test_example_runs(script):
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                          timeout=600)
    assert done.returncode == 0, done.stderr
