import json
import pathlib
import sys

import pytest

NOTEBOOKS = sorted((pathlib.Path(__file__).parents[2] / "examples").glob("*.ipynb"))


@pytest.fixture
def kernel_name(tmp_path, monkeypatch):
    """A kernel running this interpreter, so that the notebook sees the package under test."""
    kernel_dir = tmp_path / "kernels" / "kov-sr-test"
    kernel_dir.mkdir(parents=True)
    argv = [sys.executable, "-m", "ipykernel_launcher", "-f", "{connection_file}"]
    (kernel_dir / "kernel.json").write_text(json.dumps(
        {"argv": argv, "display_name": "kov_sr test", "language": "python"}
    ))
    monkeypatch.setenv("JUPYTER_PATH", str(tmp_path))
    return "kov-sr-test"


@pytest.mark.parametrize("path", NOTEBOOKS, ids=[p.name for p in NOTEBOOKS])
def test_notebook_runs_top_to_bottom(path, kernel_name):
    nbformat = pytest.importorskip("nbformat")
    nbclient = pytest.importorskip("nbclient")
    pytest.importorskip("ipykernel")
    notebook = nbformat.read(path, as_version=4)
    nbclient.NotebookClient(notebook, kernel_name=kernel_name, timeout=300).execute()
    outputs = [output for cell in notebook.cells for output in cell.get("outputs", [])]
    assert not [output for output in outputs if output["output_type"] == "error"]
    shown = [output.get("data", {}) for output in outputs]
    # The result typesets itself and the front plots as an image.
    assert any("text/latex" in data for data in shown)
    assert any("image/png" in data for data in shown)
