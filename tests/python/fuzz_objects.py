"""Hypothesis strategies for the fuzz tests: any object a caller could hand to kov_sr, from plain
numbers to NumPy arrays of every kind and objects whose protocols raise or lie."""

import math
import os
import sys

import numpy as np
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import kov_sr


# The address sanitizer's allocator ends the process on an allocation it cannot serve instead of
# throwing bad_alloc, so lengths that make a conversion reserve terabytes are left out there.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
# Lengths a lying sequence reports: small, negative, and beyond anything that can be reserved.
LIED_LENGTHS = [2 ** 62, sys.maxsize] + ([] if UNDER_ASAN else [2 ** 31, 2 ** 40])


class Sabotage(Exception):
    """Raised by the hostile objects below. A method may let it through or replace it with its own
    documented error; it must never turn into a crash or a SystemError."""


# What any method may raise for bad input. Warnings appear because the test suite turns them into
# errors (a complex NumPy scalar's __float__ warns that it drops the imaginary part).
ALLOWED = (
    ValueError, TypeError, OverflowError, MemoryError, kov_sr.KovDimensionError,
    kov_sr.KovComplexityError, Sabotage, Warning,
)


# ---- Hostile objects -------------------------------------------------------------------------


class FloatRaises:
    def __float__(self):
        raise Sabotage("__float__")


class FloatLies:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value  # not a float: the interpreter refuses it

    def __repr__(self):
        return f"FloatLies({self.value!r})"


class FloatSubclass(float):
    pass


class FloatReturnsSubclass:
    def __float__(self):
        return FloatSubclass(2.5)  # deprecated by the interpreter: a warning (an error here)


class IndexRaises:
    def __index__(self):
        raise Sabotage("__index__")


class IndexLies:
    def __index__(self):
        return 1.5


class Sequence:
    """A sequence built from __len__ and __getitem__, with knobs for lying and raising."""

    def __init__(self, items, length=None, fail_at=None, length_raises=False):
        self.items = list(items)
        self.length = len(self.items) if length is None else length
        self.fail_at = fail_at
        self.length_raises = length_raises

    def __len__(self):
        if self.length_raises:
            raise Sabotage("__len__")
        return self.length

    def __getitem__(self, index):
        if index == self.fail_at:
            raise Sabotage("__getitem__")
        return self.items[index]  # IndexError ends the iteration

    def __repr__(self):
        return (f"Sequence({self.items!r}, length={self.length!r}, fail_at={self.fail_at!r}, "
                f"length_raises={self.length_raises!r})")


class IterRaises(Sequence):
    def __iter__(self):
        yield from self.items[:1]
        raise Sabotage("__iter__")


class IterLies(Sequence):
    def __iter__(self):
        return 42  # not an iterator


class Mapping:
    def __init__(self, mapping):
        self.mapping = mapping

    def __getitem__(self, key):
        return self.mapping[key]

    def __len__(self):
        return len(self.mapping)

    def keys(self):
        return self.mapping.keys()


hostile_scalars = st.sampled_from([
    FloatRaises(), FloatLies("1.0"), FloatLies(None), FloatLies(3), FloatReturnsSubclass(),
    IndexRaises(), IndexLies(), object(), FloatSubclass(1.5),
])

# ---- Numbers -----------------------------------------------------------------------------------

floats = st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True)
finite_floats = st.floats(allow_nan=False, allow_infinity=False, allow_subnormal=True)
# Ordinary sample values: searches on them stay fast and meaningful.
sample_floats = st.floats(min_value=-1e6, max_value=1e6, allow_nan=False, allow_infinity=False)
ints = st.one_of(
    st.integers(min_value=-10, max_value=10),
    st.integers(min_value=-(2 ** 70), max_value=2 ** 70),
    st.sampled_from([2 ** 63 - 1, 2 ** 63, 2 ** 64 - 1, 2 ** 64, -(2 ** 63), 10 ** 400,
                     -(10 ** 400)]),
)
numpy_scalars = st.one_of(
    floats.map(np.float64), st.floats(width=32).map(np.float32),
    st.integers(-2 ** 63, 2 ** 63 - 1).map(np.int64),
    st.integers(0, 255).map(np.uint8), st.booleans().map(np.bool_),
    st.complex_numbers(allow_nan=True, allow_infinity=True).map(np.complex128),
    st.just(np.datetime64("2020-01-01")), st.just(np.longdouble("1.5")),
)
numbers = st.one_of(
    floats, ints, st.booleans(), numpy_scalars,
    st.complex_numbers(allow_nan=True, allow_infinity=True),
)
scalars = st.one_of(
    st.none(), numbers, st.text(max_size=5), st.binary(max_size=5),
    st.binary(max_size=5).map(bytearray), st.just(Ellipsis), hostile_scalars,
)

# ---- NumPy arrays ----------------------------------------------------------------------------

array_dtypes = st.one_of(
    hnp.scalar_dtypes(),
    hnp.byte_string_dtypes(max_len=3),
    hnp.unicode_string_dtypes(max_len=3),
    st.sampled_from([np.dtype(object), np.dtype(">f8"), np.dtype("<f8"), np.dtype("=f8"),
                     np.dtype([("a", "<f8"), ("b", "<i4")]), np.dtype("V8"),
                     np.dtype(np.longdouble), np.dtype(np.float16)]),
)


@st.composite
def arrays(draw, max_dims=3, max_side=5):
    """Arrays of every dtype, byte order, dimension (0-d included) and memory layout."""
    dtype = draw(array_dtypes)
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=max_dims, min_side=0, max_side=max_side))
    if dtype == np.dtype(object):
        base = np.empty(shape, dtype=object)
        for index in np.ndindex(shape):
            base[index] = draw(st.one_of(numbers, hostile_scalars, st.none()))
    elif dtype.kind == "V" and dtype.names is None:
        base = np.zeros(shape, dtype=dtype)  # raw bytes: no element strategy exists
    else:
        base = draw(hnp.arrays(dtype, shape))
    layout = draw(st.sampled_from(["C", "F", "transposed", "strided", "reversed", "readonly",
                                   "broadcast"]))
    if layout == "F":
        return np.asfortranarray(base)
    if layout == "transposed":
        return base.T
    if layout == "strided" and base.ndim >= 1:
        return base[::2]
    if layout == "reversed" and base.ndim >= 1:
        return base[::-1, ...]
    if layout == "readonly":
        base.flags.writeable = False
        return base
    if layout == "broadcast" and base.ndim >= 1 and base.shape[0] >= 1:
        return np.broadcast_to(base[:1], (draw(st.integers(0, 4)),) + base.shape[1:])
    return base


float64_vectors = st.one_of(
    hnp.arrays(np.float64, st.integers(0, 6), elements=finite_floats),
    hnp.arrays(np.float64, st.integers(0, 12), elements=finite_floats).map(lambda a: a[::2]),
    hnp.arrays(np.float64, st.integers(0, 6), elements=finite_floats).map(lambda a: a[::-1]),
)
float64_matrices = hnp.arrays(
    np.float64, hnp.array_shapes(min_dims=2, max_dims=2, min_side=0, max_side=4),
    elements=finite_floats,
).flatmap(lambda a: st.sampled_from([a, a.T, a[::2], a[:, ::-1], np.asfortranarray(a)]))

# ---- Containers --------------------------------------------------------------------------------


def containers(children):
    """Lists, tuples and the odd containers around `children`, ragged and nested as drawn."""
    return st.one_of(
        st.lists(children, max_size=5),
        st.lists(children, max_size=5).map(tuple),
        st.lists(children, max_size=5).map(lambda items: (item for item in items)),
        st.lists(children, max_size=5).map(iter),
        st.lists(children, max_size=5).map(lambda items: dict(enumerate(items))),
        st.lists(children, max_size=5).map(lambda items: Mapping(dict(enumerate(items)))),
        st.frozensets(st.integers(0, 5), max_size=5),
        st.builds(range, st.integers(-3, 3), st.integers(-3, 6)),
        st.builds(Sequence, st.lists(children, max_size=4),
                  length=st.one_of(st.none(), st.integers(-2, 6), st.sampled_from(LIED_LENGTHS)),
                  fail_at=st.one_of(st.none(), st.integers(0, 4)),
                  length_raises=st.booleans()),
        st.builds(IterRaises, st.lists(children, max_size=3)),
        st.builds(IterLies, st.lists(children, max_size=3)),
    )


# Anything at all: scalars, arrays, and containers nested up to three deep.
anything = st.recursive(st.one_of(scalars, arrays()), containers, max_leaves=12)

# Inputs that usually convert, so that the fuzz reaches the search and the evaluation: flat and
# nested lists of ordinary numbers, NumPy float64 arrays, and now and then anything at all.
vector_like = st.one_of(
    st.lists(sample_floats, min_size=0, max_size=6),
    st.lists(st.one_of(sample_floats, st.integers(-5, 5), st.booleans()), max_size=6).map(tuple),
    float64_vectors,
    anything,
)
matrix_like = st.one_of(
    st.lists(st.lists(sample_floats, max_size=4), max_size=6),
    st.lists(float64_vectors, max_size=4),
    float64_matrices,
    anything,
)


def is_nan(value):
    return isinstance(value, float) and math.isnan(value)
