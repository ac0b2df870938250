"""The thorough strategy and the time limit through the Searcher's options."""

import numpy as np
import pytest

import kov_sr


def thorough(max_complexity=5, time_limit=None):
    return kov_sr.Searcher(max_complexity, strategy="thorough", time_limit=time_limit)


@pytest.mark.parametrize("xs", [np.linspace(0.0, 1.0, 20), np.linspace(0.5, 3.0, 8)])
def test_the_readme_line_comes_back_exactly(xs, capsys):
    # The fitted offset may land an ulp off 1.3; the named 1.3 fits as well and is kept.
    result = thorough().find_function(xs, 2.5 * xs + 1.3)
    assert result.formula == "Plus(Times(2.5, v_{0}), 1.3)"
    assert result.error == 0.0


@pytest.mark.parametrize(
    "truth, formula",
    [
        (lambda a, b: np.exp(-a / b), "Exp(Neg(Divide(v_{0}, v_{1})))"),
        (lambda a, b: a ** b, "Exp(Times(v_{1}, Log(v_{0})))"),
    ],
)
def test_small_recoveries(truth, formula):
    rng = np.random.default_rng(3)
    x = rng.uniform(1.0, 5.0, size=(60, 2))
    result = thorough().find_multivariate(x, truth(x[:, 0], x[:, 1]))
    assert result.formula == formula
    assert result.error <= 1e-12


@pytest.mark.parametrize("strategy", ["classic", "thorough"])
def test_a_time_limit_returns_the_best_so_far(strategy, capsys):
    rng = np.random.default_rng(5)
    x = rng.uniform(0.5, 2.0, size=(40, 3))
    y = np.sin(x[:, 0]) * np.log(1 + x[:, 1]) + np.sqrt(x[:, 2] + x[:, 0] ** 2)
    searcher = kov_sr.Searcher(30, 0.1, 100000, strategy=strategy, time_limit=0.3)
    candidates = searcher.find_candidates(x, y)
    assert candidates and np.isfinite(candidates[0].error)
    assert "Time limit of 300ms reached at level" in capsys.readouterr().out


@pytest.mark.parametrize("rows", [100, 1000])
def test_a_noisy_formula_ends_the_search_at_the_noise(rows, capsys):
    # On a hundred rows the estimated noise is unsure and lies below the formula's own error.
    rng = np.random.default_rng(7)
    x = rng.uniform(-5.0, 5.0, rows)
    y = x * np.sin(x)
    y = y + rng.normal(0.0, 0.01 * np.sqrt(np.mean(y**2)), rows)
    result = thorough(8).find_selected(x[:, None], y)
    assert result.formula == "Times(v_{0}, Sin(v_{0}))"
    assert capsys.readouterr().out.count("processed in") < 7  # levels 2 to 8 would be seven


def test_a_product_with_a_block_is_found_on_noisy_rows():
    # Many blocks fit the logarithms of noisy targets alike, and 1/cos(x1/x2) nearly so; the
    # true block has a whole exponent.
    rng = np.random.default_rng(104)
    x = np.column_stack([rng.uniform(1.0, 5.0, 100), rng.uniform(1.0, 2.0, 100),
                         rng.uniform(3.0, 10.0, 100)])
    y = x[:, 0] / np.sqrt(1.0 - (x[:, 1] / x[:, 2]) ** 2)
    y = y + rng.normal(0.0, 0.01 * np.sqrt(np.mean(y**2)), 100)
    result = thorough(10, time_limit=20).find_selected(x, y)
    assert result.formula in ("Divide(v_{0}, Cos(ArcSin(Divide(v_{1}, v_{2}))))",
                              "Divide(v_{0}, Sin(ArcCos(Divide(v_{1}, v_{2}))))")
