# Every surface built on Searcher follows its option table (kov_sr._core._searcher_options): an
# option added to the table and missed by the estimator, the command line, the distributed codec or
# DistributedSearcher fails here.
import inspect

import kov_sr
import pytest
from kov_sr import _core, cli
from kov_sr._options import SEARCH_OPTIONS, searcher_arguments

NAMES = [option.name for option in SEARCH_OPTIONS]


def other_value(option):
    """A value in the option's range that is not its default."""
    if option.kind == "bool":
        return not option.default
    if option.kind == "str":
        return next(word for word in option.choices if word != option.default)
    base = option.default if option.default is not None else (option.minimum or 0)
    return base + 2 if option.kind == "int" else base * 2 + 1.5


OTHERS = {option.name: other_value(option) for option in SEARCH_OPTIONS}


def settings_of(searcher):
    return {name: getattr(searcher, name) for name in NAMES}


def searcher_with(values):
    args, kwargs = searcher_arguments(values)
    return kov_sr.Searcher(*args, **kwargs)


def test_table_is_searchers_signature_and_defaults():
    parameters = inspect.signature(kov_sr.Searcher).parameters.values()
    assert [(p.name, p.default, p.kind is p.KEYWORD_ONLY) for p in parameters] == [
        (option.name, option.default, option.keyword_only) for option in SEARCH_OPTIONS
    ]
    assert settings_of(kov_sr.Searcher()) == {o.name: o.default for o in SEARCH_OPTIONS}
    assert settings_of(searcher_with(OTHERS)) == OTHERS


def test_codec_carries_every_option():
    problem, _ = _core._distributed_problem(
        searcher_with(OTHERS), "multivariate", [[1.0], [2.0]], [1.0, 2.0]
    )
    assert _core._distributed_settings(problem) == OTHERS


def test_distributed_searcher_takes_every_option_and_the_table_defaults():
    pytest.importorskip("distributed")
    from kov_sr.distributed import DistributedSearcher

    args, kwargs = searcher_arguments(OTHERS)
    assert settings_of(DistributedSearcher(None, *args, **kwargs).searcher) == OTHERS
    assert settings_of(DistributedSearcher(None).searcher) == settings_of(kov_sr.Searcher())
    parameters = list(inspect.signature(DistributedSearcher).parameters.values())[1:]
    positional = [option for option in SEARCH_OPTIONS if not option.keyword_only]
    assert [(p.name, p.default) for p in parameters if p.kind is p.POSITIONAL_OR_KEYWORD] == [
        (option.name, option.default) for option in positional
    ]


def test_estimator_takes_every_option(monkeypatch):
    sklearn = pytest.importorskip("kov_sr.sklearn")
    defaults = sklearn.KovRegressor().get_params()
    assert set(defaults) == set(NAMES) | set(sklearn._ESTIMATOR_ONLY)
    assert set(sklearn.KovRegressor._parameter_constraints) == set(defaults)
    assert {name: defaults[name] for name in NAMES} == {
        option.name: sklearn._ESTIMATOR_DEFAULTS.get(option.name, option.default)
        for option in SEARCH_OPTIONS
    }
    assert all(f"\n{name} : " in sklearn.KovRegressor.__doc__ for name in defaults)

    received = []

    class Stop(Exception):
        pass

    def recording_searcher(*args, **kwargs):
        received.append(settings_of(kov_sr.Searcher(*args, **kwargs)))
        raise Stop

    monkeypatch.setattr(sklearn, "Searcher", recording_searcher)
    with pytest.raises(Stop):
        sklearn.KovRegressor(**OTHERS).fit([[1.0], [2.0]], [1.0, 2.0])
    assert received == [OTHERS]


@pytest.mark.parametrize("command", ["fit", "constant"])
def test_command_line_offers_the_options_with_the_table_defaults(command):
    assert list(cli._FLAGS) == NAMES
    start = [command, "data.csv" if command == "fit" else "1.5"]
    offered = [option for option in SEARCH_OPTIONS if command in cli._FLAGS[option.name].commands]
    parser = cli._argument_parser()
    expected = {}
    for option in SEARCH_OPTIONS:
        own = cli._FLAGS[option.name].default
        expected[option.name] = own if option in offered and own is not None else option.default
    assert settings_of(cli._searcher(parser.parse_args(start))) == expected

    flags = []
    for option in offered:
        flag = cli._FLAGS[option.name].names[-1]
        if option.kind == "bool":
            expected[option.name] = not expected[option.name]
            flags.append(flag)
        else:
            others = [word for word in option.choices if word != expected[option.name]]
            value = others[0] if others else other_value(option)
            expected[option.name] = value
            flags += [flag, str(value)]
    assert settings_of(cli._searcher(parser.parse_args(start + flags))) == expected


def outside(option):
    """Values outside the option's range: a wrong type, below the bound, not finite, None."""
    values = {"int": ["ten", 2.5], "float": ["ten"], "bool": ["yes"], "str": ["fastest", 3]}
    found = list(values[option.kind])
    if option.minimum is not None:
        below = option.minimum - 1 if option.minimum_included else option.minimum
        found.append(int(below) if option.kind == "int" else float(below))
    if option.finite:
        found += [float("inf"), float("nan")]
    if not option.none_allowed:
        found.append(None)
    return found


# What Searcher has always stored although no search can use it.
SEARCHER_KEEPS = {("max_complexity", "0"), ("beam_width", "0")}
SEARCHER_KEEPS |= {("complexity_penalty", text) for text in ("inf", "nan")}

CASES = [(option, value) for option in SEARCH_OPTIONS for value in outside(option)]


@pytest.mark.parametrize(("option", "value"), CASES, ids=[f"{o.name}={v!r}" for o, v in CASES])
def test_every_surface_refuses_what_is_outside_the_range(option, value):
    sklearn = pytest.importorskip("kov_sr.sklearn")
    with pytest.raises(ValueError, match=option.name):
        sklearn.KovRegressor(**{option.name: value}).fit([[1.0], [2.0]], [1.0, 2.0])
    if (option.name, str(value)) in SEARCHER_KEEPS:
        searcher_with({option.name: value})
    else:
        with pytest.raises((TypeError, ValueError, OverflowError), match=option.name):
            searcher_with({option.name: value})
    flag = cli._FLAGS[option.name]
    if "fit" in flag.commands and option.kind != "bool" and value is not None:
        with pytest.raises(SystemExit):
            cli._argument_parser().parse_args(["fit", "data.csv", flag.names[-1], str(value)])
