import re
import sys

import pytest

import kov_sr
from kov_sr.display import SELECTED_MARK, Front

XS = [0.5 + 0.25 * i for i in range(12)]
ROWS = [[x] for x in XS]
YS = [2.5 * x + 1.3 for x in XS]


@pytest.fixture(scope="module")
def front():
    searcher = kov_sr.Searcher(max_complexity=5, strategy="thorough", verbose=False)
    return searcher.find_candidates(ROWS, YS)


def marked_rows(html):
    """Labels of the rows of an HTML table, and which of them is starred."""
    labels = re.findall(r"<tr[^>]*><th>([^<]*)</th>", html.split("<tbody>", 1)[1])
    return [label.replace(SELECTED_MARK, "").strip() for label in labels], [
        label.replace(SELECTED_MARK, "").strip() for label in labels if SELECTED_MARK in label
    ]


def test_a_result_renders_its_formula_error_and_complexity(front):
    result = front[0]
    latex = result._repr_latex_()
    assert latex.startswith("$") and latex.endswith("$")
    assert result.to_latex() in latex and "complexity 5" in latex and "exact" in latex
    html = result._repr_html_()
    assert result.to_latex() in html and "<code>Plus(Times(2.5, v_{0}), 1.3)</code>" in html
    assert repr(result).startswith("SearchResult(formula=")  # plain repr unchanged


def test_a_front_is_a_list_that_marks_its_selected_formula(front):
    assert isinstance(front, list) and isinstance(front, Front)
    assert front == list(front) and len(front[:1]) == 1
    assert front.selected is kov_sr.select(front)
    labels, marked = marked_rows(front._repr_html_())
    assert labels == [str(i) for i in range(len(front))]
    assert marked == [str(front.index(front.selected))]


def test_a_front_of_old_results_marks_nothing():
    old = kov_sr._core._rebuild_result(
        (1, ((2, 0, 0, 0, 0.0, 0.0),), "v_{0}", 1, 1, 0.5)  # description length unknown
    )
    assert Front([old]).selected is None
    assert marked_rows(Front([old])._repr_html_())[1] == []


@pytest.mark.parametrize("pandas_installed", [True, False])
@pytest.mark.parametrize("selection", ["best", "accuracy"])
def test_the_estimator_tables_mark_the_result(monkeypatch, pandas_installed, selection):
    pytest.importorskip("sklearn")
    if pandas_installed:
        pytest.importorskip("pandas")
    else:
        monkeypatch.setitem(sys.modules, "pandas", None)
    from kov_sr.sklearn import KovRegressor

    noisy = [y + 0.01 * (-1) ** i for i, y in enumerate(YS)]
    model = KovRegressor(max_complexity=5, model_selection=selection).fit(ROWS, noisy)
    position = model.candidates_.index(model.result_)
    assert model.candidates_.selected is model.result_
    for table in (model.candidates_, model.equations_):
        assert marked_rows(table._repr_html_())[1] == [str(position)]
    if pandas_installed:
        shown = model.equations_[["complexity", "formula"]]  # a selection keeps the mark
        assert marked_rows(shown._repr_html_())[1] == [str(position)]
