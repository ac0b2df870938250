import importlib.metadata
import pickle
import warnings

import pytest

import kov_sr
from kov_sr import _core, cli
from kov_sr.versions import PickleVersionWarning, is_newer

CURRENT = kov_sr.__version__


def test_one_version_everywhere(capsys):
    assert CURRENT == importlib.metadata.version("kov-sr") == _core.__version__
    with pytest.raises(SystemExit) as exit_info:
        cli.main(["--version"])
    assert exit_info.value.code == 0
    assert capsys.readouterr().out == f"kov-sr {CURRENT}\n"


@pytest.mark.parametrize(("version", "than", "newer"), [
    ("0.2.0", "0.1.0", True),
    ("0.1.0", "0.1.0", False),
    ("0.1", "0.1.0", False),
    ("0.1.0.1", "0.1", True),
    ("0.10.0", "0.9.9", True),
    ("1.0.0rc1", "0.9", True),
    ("0.1.0+local", "0.1.0", False),
    ("garbage", "0.1.0", False),
])
def test_release_order(version, than, newer):
    assert is_newer(version, than) == newer


def newer_than_current():
    return ".".join(str(int(part) + 1) for part in CURRENT.split("+")[0].split(".")[:2])


def test_a_result_pickled_by_a_newer_version_warns_naming_both(exp_result):
    rebuild, (state, version) = exp_result.__reduce_ex__(pickle.HIGHEST_PROTOCOL)
    assert version == CURRENT
    assert repr(pickle.loads(pickle.dumps(exp_result))) == repr(exp_result)  # no warning
    newer = newer_than_current()
    with pytest.warns(PickleVersionWarning) as caught:
        restored = rebuild(state, newer)
    assert newer in str(caught[0].message) and CURRENT in str(caught[0].message)
    assert repr(restored) == repr(exp_result)


def test_an_estimator_records_its_version_and_warns_from_a_newer_one():
    pytest.importorskip("sklearn")
    from kov_sr.sklearn import KovRegressor

    model = KovRegressor(max_complexity=3, strategy="classic").fit([[0.0], [1.0], [2.0]], [1, 2, 3])
    assert model.__getstate__()["_kov_sr_version"] == CURRENT
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert pickle.loads(pickle.dumps(model)).formula_ == model.formula_
    for pickled, warns in [(newer_than_current(), True), (None, False)]:
        state = model.__getstate__()
        state["_kov_sr_version"] = pickled
        if pickled is None:
            del state["_kov_sr_version"]  # pickled before estimators recorded it
        fresh = KovRegressor.__new__(KovRegressor)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            fresh.__setstate__(state)
        assert [w.category for w in caught] == ([PickleVersionWarning] if warns else [])
        assert fresh.formula_ == model.formula_


@pytest.mark.parametrize(("version", "error"), [
    (None, None), ("0.0.1", None), (3, TypeError), (b"0.1.0", TypeError),
])
def test_the_version_beside_a_state_is_a_string_or_none(exp_result, version, error):
    state = exp_result.__reduce__()[1][0]
    if error is None:
        assert repr(_core._rebuild_result(state, version)) == repr(exp_result)
    else:
        with pytest.raises(error, match="version must be a str or None"):
            _core._rebuild_result(state, version)
