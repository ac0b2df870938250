"""Units: reading them, refusing bad ones, searching with them, keeping them in pickles."""

import pickle
import subprocess
import sys
from fractions import Fraction

import numpy as np
import pytest

import kov_sr
from kov_sr import Searcher
from kov_sr.units import parse_unit

pint = pytest.importorskip("pint")
UREG = pint.get_application_registry()

RNG = np.random.default_rng(3)
M, V, C = RNG.uniform(1, 5, 40), RNG.uniform(1, 5, 40), RNG.uniform(6, 9, 40)
INPUTS = np.c_[M, V, C]
MOMENTUM = M * V  # p = m·v: consistent with kg, m/s, m/s -> kg·m/s
MOMENTUM_UNITS = ([{"kg": 1}, "m/s", {"m": 1, "s": -1}], "kg*m/s")


def thorough(**settings):
    return Searcher(strategy="thorough", verbose=False, **settings)


@pytest.mark.parametrize("unit, exponents", [
    ({"m": 1, "s": -2}, {"m": 1, "s": -2}),
    ({"m": 0, "kg": 2}, {"kg": 2}),
    ({}, {}),
    ({"m": 0.5, "s": Fraction(-1, 3)}, {"m": Fraction(1, 2), "s": Fraction(-1, 3)}),
    ("kg*m/s^2", {"kg": 1, "m": 1, "s": -2}),
    ("N", {"kg": 1, "m": 1, "s": -2}),
    ("J/K", {"kg": 1, "m": 2, "s": -2, "K": -1}),
    ("1", {}),
    (UREG.meter / UREG.second, {"m": 1, "s": -1}),
    ({"apples": 1}, {"apples": 1}),
])
def test_units_read_to_exponents(unit, exponents):
    assert parse_unit(unit, "here") == exponents


@pytest.mark.parametrize("call, message", [
    (lambda s: s.find_multivariate(INPUTS, MOMENTUM, units=["kg", "m/s"], target_units="kg"),
     "units gives 2 units for 3 input columns"),
    (lambda s: s.find_multivariate(INPUTS, MOMENTUM, units=["kg", "m/s", "blorp"],
                                   target_units="kg"), r"units\[2\] \(column x2\): cannot read"),
    (lambda s: s.find_multivariate(INPUTS, MOMENTUM, units=["kg", {"m": 0.3183}, "m"],
                                   target_units="kg"), r"column x1\).*not a simple fraction"),
    (lambda s: s.find_multivariate(INPUTS, MOMENTUM, units=["kg", {"m": True}, "m"],
                                   target_units="kg"), r"column x1\).*must be a number"),
    (lambda s: s.find_multivariate(INPUTS, MOMENTUM, units=["kg", {1: 1}, "m"],
                                   target_units="kg"), r"column x1\).*non-empty strings"),
    (lambda s: s.find_multivariate(INPUTS, MOMENTUM, units="kg", target_units="kg"),
     "one unit per input column"),
    (lambda s: s.find_multivariate(INPUTS, MOMENTUM, units=["kg", "m", "m"]),
     "units needs target_units too"),
    (lambda s: s.find_multivariate(INPUTS, MOMENTUM, units=["kg", "m", "m"], target_units=3.0),
     "target_units: a unit must be"),
    (lambda s: Searcher(verbose=False).find_selected(INPUTS, MOMENTUM, units=["kg", "m", "m"],
                                                     target_units="m"),
     "units need the thorough strategy"),
])
def test_bad_units_name_the_problem(call, message):
    with pytest.raises(ValueError, match=message):
        call(thorough(time_limit=5))


@pytest.mark.parametrize("name, inputs, ys, units, target, truth", [
    ("momentum", INPUTS, MOMENTUM, *MOMENTUM_UNITS, MOMENTUM),
    ("attenuation", INPUTS, M * np.exp(-V / C), ["N", "m", "m"], "N", M * np.exp(-V / C)),
    ("pint quantities", INPUTS * UREG.meter, (V * C) * UREG.meter**2, None, None, V * C),
    ("one column", V, 3 * V**2, "m/s", {"m": 2, "s": -2}, 3 * V**2),
])
def test_the_true_formula_survives_the_reduction(name, inputs, ys, units, target, truth):
    searcher = thorough(max_complexity=9, time_limit=30)
    search = searcher.find_function if np.ndim(np.asarray(getattr(inputs, "magnitude", inputs))) \
        == 1 else searcher.find_multivariate
    result = search(inputs, ys, units=units, target_units=target)
    assert result.error < 1e-9 * np.abs(truth).max()
    plain = np.asarray(getattr(inputs, "magnitude", inputs), dtype=float).reshape(len(truth), -1)
    np.testing.assert_allclose(result.eval_batch(plain), truth, rtol=1e-9)
    assert result.units is not None and not result.units["note"].startswith("not used")
    assert "units:" in str(result) and "units" not in repr(result)


def test_units_that_do_not_fit_fall_back_to_the_search_without_them(capsys):
    searcher = Searcher(strategy="thorough", max_complexity=6, time_limit=20)
    # Claims a length out of two lengths, but the data is their product.
    result = searcher.find_multivariate(INPUTS[:, :2], M * V, units=["m", "m"], target_units="m")
    assert result.error < 1e-9
    assert result.units["note"].startswith("not used")
    assert "returning the formulas found without units" in capsys.readouterr().out


def test_pint_pandas_columns_carry_their_units():
    pd = pytest.importorskip("pandas")
    pytest.importorskip("pint_pandas")
    frame = pd.DataFrame({"m": pd.Series(M, dtype="pint[kg]"), "v": pd.Series(V, dtype="pint[m/s]")})
    target = pd.Series(M * V, dtype="pint[kg*m/s]")
    result = thorough(time_limit=20).find_multivariate(frame, target)
    assert result.units["inputs"] == ("kg", "m/s") and result.units["target"] == "kg*m/s"
    assert result.error < 1e-9


def test_results_and_estimators_pickle_with_their_units():
    result = thorough(time_limit=20).find_multivariate(INPUTS, MOMENTUM, units=MOMENTUM_UNITS[0],
                                                       target_units=MOMENTUM_UNITS[1])
    copy = pickle.loads(pickle.dumps(result))
    assert copy.units == result.units and str(copy) == str(result)
    assert result.units["inputs"] == ("kg", "m/s", "m/s")
    sklearn = pytest.importorskip("kov_sr.sklearn")
    model = sklearn.KovRegressor(time_limit=20).fit(INPUTS, MOMENTUM, X_units=MOMENTUM_UNITS[0],
                                                     y_units=MOMENTUM_UNITS[1])
    restored = pickle.loads(pickle.dumps(model))
    assert restored.X_units_ == [{"kg": 1}, {"m": 1, "s": -1}, {"m": 1, "s": -1}]
    assert restored.y_units_ == {"kg": 1, "m": 1, "s": -1}
    assert restored.result_.units == model.result_.units
    with pytest.raises(ValueError, match="X_units needs y_units too"):
        sklearn.KovRegressor().fit(INPUTS, MOMENTUM, X_units=MOMENTUM_UNITS[0])


@pytest.mark.parametrize("units, expected, status", [
    (["m=kg", "v=m/s", "c=m/s", "p=kg*m/s"], "units: y/", 0),
    (["m=kg", "v=m/s", "p=kg*m/s"], "no unit for the columns c", 2),
    (["m=kg", "v=m/s", "c=blorp", "p=kg"], "column 'c'", 2),
    (["m:kg"], "is not COLUMN=UNIT", 2),
])
def test_command_line_units(tmp_path, units, expected, status):
    path = tmp_path / "data.csv"
    rows = "\n".join(f"{m},{v},{c},{m * v}" for m, v, c in INPUTS[:20])
    path.write_text("m,v,c,p\n" + rows + "\n")
    completed = subprocess.run(
        [sys.executable, "-m", "kov_sr", "fit", str(path), "--quiet", "--time-limit", "20",
         "--units", *units], capture_output=True, text=True)
    assert completed.returncode == status
    assert expected in completed.stdout + completed.stderr
