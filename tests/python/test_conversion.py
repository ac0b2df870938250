"""Conversion of lists, tuples, ranges and NumPy arrays into the numbers a search or an evaluation
reads. Results for the formulas v_{0} ... v_{3} read the converted values back."""

import math
import sys

import numpy as np
import pytest

import kov_sr
from conftest import bits, list_bits

VECTOR_MESSAGE = "Input must be a 1D list or NumPy array of floats"
MATRIX_MESSAGE = "Input must be a 2D list or 2D NumPy array of floats"
NOT_CONTIGUOUS = "The given array is not contiguous"
EVAL_MESSAGE = "Input must be a float or a 1D list/array"
NAN = float("nan")


def read_vector(variable_results, value, length):
    """The point that eval made of `value`, one variable at a time."""
    return [variable_results[j].eval(value) for j in range(length)]


def read_matrix(variable_results, value, columns):
    """The rows that eval_batch made of `value`, column by column (NaN where a row is short)."""
    per_column = [variable_results[j].eval_batch(value) for j in range(columns)]
    return [list(row) for row in zip(*per_column)] if per_column else []


def base_3x2():
    return np.array([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]])


VECTOR_CASES = [
    ("list with int, float, bool", [1, 2.5, True], [1.0, 2.5, 1.0]),
    ("tuple", (3, 4.5), [3.0, 4.5]),
    ("range", range(2, 5), [2.0, 3.0, 4.0]),
    ("numpy scalars", [np.float32(0.5), np.int64(7)], [0.5, 7.0]),
    ("float64 array", np.array([1.5, -2.0, 3.25]), [1.5, -2.0, 3.25]),
    ("float32 array", np.array([0.1, 2.5], dtype=np.float32), [float(np.float32(0.1)), 2.5]),
    ("int64 array", np.array([3, -4], dtype=np.int64), [3.0, -4.0]),
    ("byte-swapped float64", np.array([1.5, 2.5], dtype=">f8"), [1.5, 2.5]),
    ("strided int64 array", np.arange(6, dtype=np.int64)[::2], [0.0, 2.0, 4.0]),
    ("reversed float32 array", np.array([1, 2, 3], dtype=np.float32)[::-1], [3.0, 2.0, 1.0]),
    ("read-only float64 array", np.frombuffer(np.array([4.0, 5.0]).tobytes()), [4.0, 5.0]),
    ("array subclass", np.ma.MaskedArray([2.0, 3.0]).data.view(np.matrix)[0].A1, [2.0, 3.0]),
    ("one element with a stride", np.arange(8.0)[3:4:2], [3.0]),
]


@pytest.mark.parametrize("value, expected", [c[1:] for c in VECTOR_CASES],
                         ids=[c[0] for c in VECTOR_CASES])
def test_vector_conversion(variable_results, value, expected):
    assert list_bits(read_vector(variable_results, value, len(expected))) == list_bits(expected)


def test_empty_vector_is_a_point_without_variables(variable_results):
    for value in ([], (), np.array([]), range(0)):
        assert math.isnan(variable_results[0].eval(value))


@pytest.mark.parametrize("xs", [
    "123", None, 5, {1: 2}, {1.0, 2.0}, [1.0, "a"], [[1.0], [2.0]], (x for x in [1.0]),
    [2 ** 2000], np.array(2.0), np.array(["a", "b"]), np.array([[1.0, 2.0]]),
], ids=["str", "None", "number", "dict", "set", "list with str", "2D list", "generator",
        "int too large", "0-d array", "str array", "2D float64 array"])
def test_vector_rejections(xs):
    searcher = kov_sr.Searcher(max_complexity=1)
    with pytest.raises(ValueError) as info:
        searcher.find_function(xs, [1.0])
    assert info.value.args == (VECTOR_MESSAGE,)
    with pytest.raises(ValueError) as info:
        searcher.find_function([1.0], xs)
    assert info.value.args == (VECTOR_MESSAGE,)


class Raising:
    """A number whose conversion raises `error`."""

    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


# Failures that are not about the input (an interrupt, exhausted memory) keep their own type instead
# of becoming the input message: Ctrl-C during a conversion must still stop the program.
@pytest.mark.parametrize("error", [KeyboardInterrupt, MemoryError], ids=["interrupt", "memory"])
@pytest.mark.parametrize("call", [
    lambda r, x: kov_sr.Searcher(max_complexity=1).find_function([x], [1.0]),
    lambda r, x: kov_sr.Searcher(max_complexity=1).find_multivariate([[x]], [1.0]),
    lambda r, x: r.eval(x),
    lambda r, x: r.eval([x]),
    lambda r, x: r.eval_batch([[x]]),
], ids=["vector", "matrix", "eval scalar", "eval point", "eval_batch"])
def test_errors_that_are_not_about_the_input_pass_through(variable_results, call, error):
    with pytest.raises(error):
        call(variable_results[0], Raising(error()))


class RaisingLength(list):
    """A list of numbers whose len() raises `error`."""

    def __init__(self, error):
        super().__init__([1.0])
        self.error = error

    def __len__(self):
        raise self.error


class RaisingBuffer(np.ndarray):
    """A float64 array whose buffer request raises `error` (the request is a Python method only
    from Python 3.12 on)."""

    error = None

    def __buffer__(self, flags):
        raise self.error


def raising_buffer(error, shape):
    array = np.ones(shape).view(RaisingBuffer)
    array.error = error
    return array


needs_buffer_method = pytest.mark.skipif(sys.version_info < (3, 12),
                                         reason="__buffer__ needs Python 3.12")


# The same for the length a conversion asks for and for an array's buffer request.
@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError],
                         ids=["interrupt", "exit", "memory"])
@pytest.mark.parametrize("call", [
    lambda e: kov_sr.Searcher(max_complexity=1).find_function(RaisingLength(e), [1.0]),
    lambda e: kov_sr.Searcher(max_complexity=1).find_multivariate(RaisingLength(e), [1.0]),
    lambda e: kov_sr.Searcher(max_complexity=1).find_multivariate([RaisingLength(e)], [1.0]),
    pytest.param(lambda e: kov_sr.Searcher(max_complexity=1).find_function(
        raising_buffer(e, 1), [1.0]), marks=needs_buffer_method),
    pytest.param(lambda e: kov_sr.Searcher(max_complexity=1).find_multivariate(
        raising_buffer(e, (1, 1)), [1.0]), marks=needs_buffer_method),
], ids=["vector length", "matrix length", "row length", "vector buffer", "matrix buffer"])
def test_length_and_buffer_errors_that_are_not_about_the_input_pass_through(call, error):
    with pytest.raises(error):
        call(error())


@pytest.mark.parametrize("array", [
    np.arange(6.0)[::2], np.arange(3.0)[::-1], np.broadcast_to(np.array(1.0), (3,)),
    np.arange(12.0).reshape(3, 4)[:, 1],
], ids=["step 2", "reversed", "broadcast", "column of a matrix"])
def test_strided_float64_vector_is_refused(array):
    searcher = kov_sr.Searcher(max_complexity=1)
    with pytest.raises(TypeError) as info:
        searcher.find_function(array, [1.0] * len(array))
    assert info.value.args == (NOT_CONTIGUOUS,)


def matrix_cases():
    base = base_3x2()
    f = np.asfortranarray(base)
    wide = np.arange(24.0).reshape(4, 6)
    return [
        ("nested lists", [[1, 2], [3.5, 4]], [[1.0, 2.0], [3.5, 4.0]]),
        ("tuples and ranges", (range(2), (5.0, 6.0)), [[0.0, 1.0], [5.0, 6.0]]),
        ("rows of numpy arrays", [np.array([1.0, 2.0]), np.array([3, 4])],
         [[1.0, 2.0], [3.0, 4.0]]),
        ("C order", base, base.tolist()),
        ("Fortran order", f, base.tolist()),
        ("transposed view", base.T, base.T.tolist()),
        ("strided", wide[::2, ::3], wide[::2, ::3].tolist()),
        ("negative strides", wide[::-1, ::-2], wide[::-1, ::-2].tolist()),
        ("float32", base.astype(np.float32), base.tolist()),
        ("int64", base.astype(np.int64), base.tolist()),
        ("byte-swapped", base.astype(">f8"), base.tolist()),
        ("read-only", np.frombuffer(base.tobytes()).reshape(3, 2), base.tolist()),
        ("unaligned", np.frombuffer(b"\0" + base.tobytes(), offset=1).reshape(3, 2),
         base.tolist()),
    ]


@pytest.mark.parametrize("value, expected", [c[1:] for c in matrix_cases()],
                         ids=[c[0] for c in matrix_cases()])
def test_matrix_conversion(variable_results, value, expected):
    rows = read_matrix(variable_results, value, len(expected[0]))
    assert [list_bits(row) for row in rows] == [list_bits(row) for row in expected]


def test_ragged_rows_keep_their_lengths(variable_results):
    rows = read_matrix(variable_results, [[1, 2], [3]], 2)
    assert list_bits(rows[0]) == list_bits([1.0, 2.0])
    assert bits(rows[1][0]) == bits(3.0) and math.isnan(rows[1][1])


@pytest.mark.parametrize("value, row_count", [
    ([], 0), ((), 0), (np.zeros((0, 3)), 0), (np.zeros((3, 0)), 3), ([[], []], 2),
])
def test_empty_matrices(variable_results, value, row_count):
    values = variable_results[0].eval_batch(value)
    assert len(values) == row_count
    assert all(math.isnan(v) for v in values)


@pytest.mark.parametrize("value", [
    [1.0, 2.0], "ab", None, 3.0, {1: [1.0]}, [[1.0], "ab"], [[1.0], None], [[1.0, "x"]],
    np.array(2.0), np.array([1.0, 2.0]), np.zeros((2, 2, 2)),
], ids=["flat list", "str", "None", "number", "dict", "str row", "None row", "str element",
        "0-d array", "1D array", "3D array"])
def test_matrix_rejections(variable_results, value):
    with pytest.raises(ValueError) as info:
        variable_results[0].eval_batch(value)
    assert info.value.args == (MATRIX_MESSAGE,)
    with pytest.raises(ValueError) as info:
        kov_sr.Searcher(max_complexity=1).find_multivariate(value, [1.0])
    assert info.value.args == (MATRIX_MESSAGE,)


def test_float32_matrix_equals_its_float64_counterpart(variable_results):
    small = np.array([[0.1, 0.2], [0.3, 0.4]], dtype=np.float32)
    assert read_matrix(variable_results, small, 2) == read_matrix(
        variable_results, small.astype(np.float64), 2)


def test_inputs_are_not_changed():
    xs = np.array([0.0, 1.0, 2.0, 3.0])
    ys = [math.exp(x) for x in xs]
    before = (xs.copy(), list(ys))
    kov_sr.Searcher().find_function(xs, ys)
    assert np.array_equal(xs, before[0]) and ys == before[1]
