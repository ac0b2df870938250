"""Fuzz: pickled states from outside. Random and damaged token sequences go through the result
reconstructor; whatever it accepts must evaluate and render (the rendering walk over any token
sequence the reconstructor lets through), and whatever it refuses gets TypeError or ValueError."""

import math
import pickle
import struct

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kov_sr
from kov_sr import _core
from fuzz_objects import anything, floats

FUZZ = settings(max_examples=200, deadline=None, database=None,
                suppress_health_check=[HealthCheck.too_slow])

CONST, REAL, VAR, PARAM, OP = range(5)
CONSTANT_VALUES = {0: (0.0, 0.0), 1: (1.0, 0.0), 2: (0.0, 1.0), 3: (math.pi, 0.0), 4: (math.e, 0.0)}
UNARY_IDS = [6, 7] + list(range(12, 21))
BINARY_IDS = [5, 8, 9, 10, 11]


def bits(value):
    return struct.pack("<d", value)


@st.composite
def well_formed_tokens(draw, max_leaves=5):
    """Postfix tokens of a random tree whose operators get the operands they take."""
    def leaf():
        kind = draw(st.sampled_from([CONST, REAL, VAR, PARAM]))
        if kind == CONST:
            constant = draw(st.sampled_from(sorted(CONSTANT_VALUES)))
            return [(CONST, 0, 0, constant, *CONSTANT_VALUES[constant])]
        return [(kind, 0, draw(st.integers(0, 4)), 0, draw(floats), draw(floats))]

    def tree(budget):
        if budget <= 1 or draw(st.integers(0, 3)) == 0:
            return leaf()
        if draw(st.booleans()):
            return tree(budget - 1) + [(OP, 1, 0, draw(st.sampled_from(UNARY_IDS)), 0.0, 0.0)]
        split = draw(st.integers(1, budget - 1))
        return tree(split) + tree(budget - split) + [
            (OP, 2, 0, draw(st.sampled_from(BINARY_IDS)), 0.0, 0.0)]

    return tree(draw(st.integers(1, max_leaves * 2)))


def var_count(tokens):
    indices = [token[2] for token in tokens
               if len(token) == 6 and token[0] == VAR and isinstance(token[2], int)]
    return (max(indices) + 1) % 256 if indices else 0


def state_of(tokens, error=0.5):
    return (1, tuple(tokens), "formula", len(tokens), var_count(tokens), error)


field = st.one_of(st.integers(-2, 300), st.sampled_from([2 ** 64, -(2 ** 70)]), floats,
                  st.none(), st.text(max_size=2))


@st.composite
def damaged_tokens(draw):
    """A well-formed sequence with one token damaged, dropped, duplicated or replaced."""
    tokens = list(draw(well_formed_tokens()))
    position = draw(st.integers(0, len(tokens) - 1))
    damage = draw(st.sampled_from(["field", "drop", "duplicate", "random", "short"]))
    if damage == "field":
        token = list(tokens[position])
        token[draw(st.integers(0, 5))] = draw(field)
        tokens[position] = tuple(token)
    elif damage == "drop":
        del tokens[position]
    elif damage == "duplicate":
        tokens.insert(position, tokens[position])
    elif damage == "random":
        tokens[position] = tuple(draw(st.lists(field, min_size=6, max_size=6)))
    else:
        tokens[position] = tokens[position][:draw(st.integers(0, 5))]
    return tokens


def exercise(result):
    texts = [repr(result), result.formula, result.to_latex(), result.to_python()]
    assert all(isinstance(text, str) for text in texts)
    for point in ([], [0.5], [0.5, 1.5, 2.5, 3.5, 4.5]):
        value = result.eval(point)
        batch = result.eval_batch([point])
        assert bits(batch[0]) == bits(value)
    copy = pickle.loads(pickle.dumps(result))
    assert (repr(copy), copy.to_latex(), copy.to_python()) == (texts[0], texts[2], texts[3])


@FUZZ
@given(tokens=well_formed_tokens())
def test_well_formed_states_rebuild_and_work(tokens):
    exercise(_core._rebuild_result(state_of(tokens)))


@FUZZ
@given(tokens=damaged_tokens())
def test_damaged_states_are_refused_or_work(tokens):
    try:
        result = _core._rebuild_result(state_of(tokens))
    except (TypeError, ValueError):
        return
    exercise(result)


@FUZZ
@given(state=st.one_of(anything, st.tuples(field, field, field, field, field, field),
                       st.lists(st.tuples(*[field] * 6), max_size=3).map(
                           lambda tokens: (1, tuple(tokens), "f", len(tokens), 0, 0.0))))
def test_any_state_is_refused_or_works(state):
    try:
        result = _core._rebuild_result(state)
    except (TypeError, ValueError):
        return
    exercise(result)


@FUZZ
@given(settings_=st.tuples(field, field, field))
def test_any_searcher_settings_are_refused_or_work(settings_):
    try:
        searcher = _core._rebuild_searcher(*settings_)
    except (TypeError, ValueError):
        return
    assert isinstance(searcher, kov_sr.Searcher)
    assert isinstance(pickle.loads(pickle.dumps(searcher)), kov_sr.Searcher)


def test_rebuilt_results_evaluate_like_the_originals():
    xs = [0.5, 1.0, 2.0]
    result = kov_sr.Searcher(max_complexity=3).find_function(xs, [math.exp(x) + 1 for x in xs])
    copy = pickle.loads(pickle.dumps(result))
    assert [bits(v) for v in copy.eval_batch([[x] for x in xs])] == \
        [bits(v) for v in result.eval_batch([[x] for x in xs])]
