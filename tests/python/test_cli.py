import math
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

SMALL = ["--max-complexity", "3", "--beam-width", "50"]


def run(*arguments, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "kov_sr", *arguments],
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=120,
    )


def write(path, text):
    path.write_text(text, encoding="utf-8")
    return str(path)


@pytest.fixture
def growth_csv(tmp_path):
    # y = exp(time); "dose" is a distractor and sits after the target to exercise --target.
    lines = ["time,growth,dose"]
    lines += [f"{t!r},{math.exp(t)!r},{3.0 - t!r}" for t in (0.0, 0.5, 1.0, 1.5, 2.0, 2.5)]
    return write(tmp_path / "growth.csv", "\n".join(lines) + "\n")


def test_fit_prints_the_formula_with_column_names(growth_csv):
    completed = run("fit", growth_csv, "--target", "growth", *SMALL)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.splitlines() == [
        "growth = Exp(time)",
        "error 0 (root-mean-square), complexity 2",
    ]
    # Progress lines go to standard error, so the result can be piped.
    assert "[KOV-SR]" in completed.stderr and "[KOV-SR]" not in completed.stdout


def test_last_column_is_the_target_by_default(tmp_path):
    path = write(tmp_path / "d.csv", "x,y\n0,1\n1,2.718281828459045\n2,7.38905609893065\n")
    completed = run("fit", path, "--quiet", *SMALL)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.splitlines()[0] == "y = Exp(x)"
    assert completed.stderr == ""


def test_candidates_prints_the_pareto_table(growth_csv):
    completed = run("fit", growth_csv, "--target", "growth", "--candidates", "-q", *SMALL)
    assert completed.returncode == 0, completed.stderr
    header, *rows = completed.stdout.splitlines()
    assert header.split() == ["complexity", "error", "description_length", "formula"]
    assert len(rows) >= 2
    complexity, error, description_length, formula = rows[0].split()
    assert [complexity, error, formula] == ["2", "0", "Exp(time)"]
    assert math.isfinite(float(description_length))
    complexities = [int(row.split()[0]) for row in rows]
    assert complexities == sorted(complexities, reverse=True)


def test_fit_names_the_selected_formula_when_it_is_not_the_most_accurate(tmp_path):
    # x² with noise: the classic search's most accurate formula fits the noise, the selected one
    # does not (the thorough search stops at x², the noise floor, and returns nothing longer).
    noise = [0.04, -0.07, 0.02, 0.09, -0.03, -0.08, 0.05, 0.01, -0.06, 0.07, -0.02, 0.03]
    xs = [0.5 + 0.25 * k for k in range(len(noise))]
    lines = ["x,y"] + [f"{x!r},{x * x + e!r}" for x, e in zip(xs, noise)]
    path = write(tmp_path / "square.csv", "\n".join(lines) + "\n")
    completed = run("fit", path, "-q", "--max-complexity", "7", "--beam-width", "300",
                    "--strategy", "classic")
    assert completed.returncode == 0, completed.stderr
    best, summary, selected = completed.stdout.splitlines()
    assert best.startswith("y = ") and best != "y = Times(x, x)"
    assert selected.startswith("selected (least description length): y = Times(x, x), error ")
    assert selected.endswith(", complexity 3")


def test_constant_prints_a_closed_form_for_each_value():
    completed = run("constant", "3.141592653589793", "2.718281828459045", "-q", *SMALL)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.splitlines() == [
        "3.141592653589793 = Pi    error 0",
        "2.718281828459045 = E    error 0",
    ]


BAD_FILES = [
    ("empty.csv", "", "is empty"),
    ("blank.csv", "\n\n", "is empty"),
    ("header.csv", "x,y\n", "header row but no data rows"),
    ("one.csv", "y\n1\n2\n", "one column"),
    ("dupe.csv", "x,x\n1,2\n", "distinct, non-empty column names"),
    ("word.csv", "x,y\n1,2\n3,abc\n", "line 3, column 'y': 'abc' is not a finite number"),
    ("gap.csv", "x,y\n\n1,2\n3,\n", "line 4, column 'y': '' is not a finite number"),
    ("nan.csv", "x,y\n1,nan\n", "line 2, column 'y': 'nan' is not a finite number"),
    ("ragged.csv", "x,y\n1,2\n3\n", "line 3: 1 values for 2 columns"),
    ("latin1.csv", b"x,\xe9\n1,2\n", "cannot read"),
]


@pytest.mark.parametrize(("name", "content", "message"), BAD_FILES, ids=[c[0] for c in BAD_FILES])
def test_bad_files_get_one_line_and_status_2(tmp_path, name, content, message):
    path = tmp_path / name
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content, encoding="utf-8")
    completed = run("fit", str(path), *SMALL)
    assert completed.returncode == 2
    assert completed.stdout == ""
    assert len(completed.stderr.splitlines()) == 1
    assert completed.stderr.startswith("kov-sr: error: ") and message in completed.stderr


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (["fit", "missing.csv"], "cannot read missing.csv: No such file or directory"),
        (
            ["fit", "{csv}", "--target", "speed"],
            "no column named 'speed'; the columns are time, growth, dose",
        ),
        (["fit", "{csv}", "--max-complexity", "0"], "must be at least 1"),
        (["fit", "{csv}", "--beam-width", "ten"], "not a whole number: 'ten'"),
        (["fit", "{csv}", "--penalty", "inf"], "not a finite number: 'inf'"),
        (["fit", "{csv}", "--strategy", "fast"], "invalid choice: 'fast'"),
        (["fit", "{csv}", "--time-limit", "0"], "must be greater than 0: '0'"),
        (["fit", "{csv}", "--time-limit", "soon"], "not a number: 'soon'"),
        (["fit", "{csv}", "--noise", "-0.1"], "must not be negative: '-0.1'"),
        (["constant", "2.5", "--strategy", "thorough"], "unrecognized arguments"),
        (["constant", "1.5", "pi"], "not a number: 'pi'"),
        (["constant"], "the following arguments are required"),
        (["guess"], "invalid choice"),
        ([], "the following arguments are required"),
    ],
)
def test_bad_arguments_get_one_line_and_status_2(tmp_path, growth_csv, arguments, message):
    completed = run(*[argument.format(csv=growth_csv) for argument in arguments], cwd=tmp_path)
    assert completed.returncode == 2
    assert completed.stdout == ""
    assert len(completed.stderr.splitlines()) == 1
    assert message in completed.stderr


def test_console_script_is_installed():
    script = shutil.which("kov-sr", path=str(Path(sys.executable).parent)) or shutil.which("kov-sr")
    if script is None:
        pytest.skip("the kov-sr script is not on this interpreter's path")
    completed = subprocess.run([script, "--help"], capture_output=True, text=True, timeout=60)
    assert completed.returncode == 0
    assert completed.stdout.startswith("usage: kov-sr")


SHELL_EXAMPLES = sorted((Path(__file__).parents[2] / "examples").glob("*.sh"))


@pytest.mark.parametrize("script", SHELL_EXAMPLES, ids=[path.name for path in SHELL_EXAMPLES])
def test_shell_example_runs(script):
    # The examples call kov-sr; this interpreter's module stands in for the installed script.
    environment = {**os.environ, "KOV_SR": f"{sys.executable} -m kov_sr"}
    completed = subprocess.run(
        ["bash", str(script)], capture_output=True, text=True, env=environment, timeout=600
    )
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout
