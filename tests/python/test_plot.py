import numpy as np
import pytest

import kov_sr

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
from matplotlib import pyplot  # noqa: E402

from kov_sr import plot  # noqa: E402

XS = np.linspace(0.5, 3.0, 16)
ROWS = XS.reshape(-1, 1)
YS = 2.5 * XS + 1.3 + 0.01 * np.cos(7 * XS)


@pytest.fixture(scope="module")
def front():
    searcher = kov_sr.Searcher(max_complexity=5, strategy="thorough", verbose=False)
    return searcher.find_candidates(ROWS, YS)


@pytest.fixture(autouse=True)
def close_figures():
    yield
    pyplot.close("all")


def shown_front(ax):
    """(complexity, error) points of the front line and of the marked point."""
    lines = {line.get_label(): line for line in ax.get_lines()}
    front_line, marked = lines["Pareto front"], lines[plot.SELECTED_LABEL]
    return list(zip(*front_line.get_data())), list(zip(*marked.get_data()))


def test_the_front_plot_shows_the_front_and_marks_the_selected_formula(front):
    ax = plot.front(front)
    points, marked = shown_front(ax)
    assert points == sorted((r.complexity, r.error) for r in front)
    assert marked == [(front.selected.complexity, front.selected.error)]
    assert ax.get_yscale() == "log"
    assert any(front.selected.to_latex() in text.get_text() for text in ax.texts)


def test_the_front_plot_takes_a_list_a_result_or_a_model(front):
    assert shown_front(plot.front(list(front)))[1] == shown_front(plot.front(front))[1]
    ax = plot.front(front[-1], ax=pyplot.figure().add_subplot())
    assert shown_front(ax)[1] == [(front[-1].complexity, front[-1].error)]
    pytest.importorskip("sklearn")
    from kov_sr.sklearn import KovRegressor

    model = KovRegressor(max_complexity=5, model_selection="accuracy").fit(ROWS, YS)
    ax = plot.front(model)
    assert shown_front(ax)[1] == [(model.result_.complexity, model.result_.error)]
    assert [text.get_text() for text in ax.texts] == [f"${model.equations_['latex'][0]}$"]
    with pytest.raises(ValueError, match="not fitted"):
        plot.front(KovRegressor())


def test_exact_formulas_sit_below_the_others_on_the_log_scale():
    exact = kov_sr.Searcher(max_complexity=5, strategy="thorough", verbose=False).find_candidates(
        ROWS, 2.5 * XS + 1.3
    )
    points, _ = shown_front(plot.front(exact))
    errors = [error for _, error in points]
    assert min(errors) > 0.0
    assert min(errors) == pytest.approx(min(r.error for r in exact if r.error > 0) / 10)


@pytest.mark.parametrize("bad", [[], [1.0, 2.0], "front"])
def test_what_is_not_a_front_is_refused(bad):
    with pytest.raises(TypeError, match="expected a front"):
        plot.front(bad)


def test_predictions_plot_predicted_against_observed(front):
    result = front.selected
    ax = plot.predictions(result, XS, YS)  # 1-D X: one variable
    offsets = ax.collections[-1].get_offsets()
    np.testing.assert_array_equal(offsets[:, 0], YS)
    np.testing.assert_array_equal(offsets[:, 1], result.predict(ROWS))
    residuals = ax.collections[0].get_segments()
    assert len(residuals) == len(YS)
    with pytest.raises(ValueError, match="y has 3 values"):
        plot.predictions(result, ROWS, YS[:3])
