"""The main Python module entry point."""

from collections.abc import Callable, Sequence
from typing import Any, Literal, SupportsFloat, SupportsIndex, final

from numpy.typing import NDArray

from kov_sr.display import Front

__version__: str

__all__ = [
    "Searcher",
    "SearchResult",
    "KovDimensionError",
    "KovComplexityError",
    "KovRuntimeError",
]

# What the module converts to a double, a vector of doubles and a matrix of doubles (one row per
# sample point, one column per input variable).
_Number = SupportsFloat | SupportsIndex
_Vector = Sequence[_Number] | NDArray[Any]
_Matrix = Sequence[Sequence[_Number] | NDArray[Any]] | NDArray[Any]

# What SearchResult.__reduce__ hands to pickle: layout 2, then the tokens (kind, arity, index, id,
# value.re, value.im), the composed formula text, complexity, var_count, error, description length
# and within_precision (None but for constant recognition). Layout 1 states (the first six) still load.
_Token = tuple[int, int, int, int, float, float]

# What the search methods take as progress=: True for a progress bar, or a callable receiving
# (level, elapsed, time_limit, best_error, best_formula).
_Progress = bool | None | Callable[[int, float, float | None, float, str], object]

# The search strategies of Searcher(strategy=...).
_Strategy = Literal["classic", "thorough"]
# A unit: {dimension: exponent}, a unit string (pint) or a pint unit.
_Unit = Any
_ResultUnits = tuple[tuple[str, ...], str, str] | None
_ResultState = (
    tuple[int, tuple[_Token, ...], str, int, int, float, float, bool | None, _ResultUnits]
    | tuple[int, tuple[_Token, ...], str, int, int, float, float, bool | None]
    | tuple[int, tuple[_Token, ...], str, int, int, float]
)

@final
class Searcher:
    """The core KOV-SR search engine exposed to Python."""

    def __new__(
        cls,
        max_complexity: SupportsIndex = 10,
        complexity_penalty: SupportsFloat = 0.1,
        beam_width: SupportsIndex = 1000,
        *,
        strategy: _Strategy = "classic",
        time_limit: SupportsFloat | None = None,
        verbose: bool = True,
        noise: SupportsFloat | None = None,
    ) -> Searcher: ...
    @property
    def max_complexity(self) -> int:
        """largest formula size in tokens; the search builds one level per size."""
    @property
    def complexity_penalty(self) -> float:
        """weight of size against error when a level is ranked for the beam."""
    @property
    def beam_width(self) -> int:
        """formulas of each level kept to build larger ones."""
    @property
    def strategy(self) -> _Strategy:
        """'classic', the breadth-first search as written, or 'thorough', which keeps
        building blocks and fits constants by least squares."""
    @property
    def time_limit(self) -> float | None:
        """seconds after which the search returns the best formulas found so far; None for
        no limit."""
    @property
    def verbose(self) -> bool:
        """print one progress line per level to sys.stdout; False prints nothing."""
    @property
    def noise(self) -> float | None:
        """standard deviation of the targets' noise, used by the thorough strategy; None to
        estimate it from the data."""
    def find_function(
        self,
        xs: _Vector,
        ys: _Vector,
        *,
        units: _Unit = None,
        target_units: _Unit = None,
        progress: _Progress = None,
    ) -> SearchResult:
        """Finds a univariate function f(x) ≈ y.
        Supports both Python lists and NumPy arrays.
        progress=True shows a progress bar instead of the progress lines (tqdm when
        installed); a callable receives (level, elapsed, time_limit, best_error,
        best_formula) after each level and a few times a second. fit and the find_
        methods take it, and units and target_units as find_multivariate does."""
    def find_multivariate(
        self,
        inputs: _Matrix,
        ys: _Vector,
        *,
        units: Sequence[_Unit] | None = None,
        target_units: _Unit = None,
        progress: _Progress = None,
    ) -> SearchResult:
        """Finds a multivariate function f(x0, x1, ...) ≈ y.
        Inputs should be a 2D array-like structure.
        units (one per input column) and target_units, or pint quantities as inputs, let the
        thorough strategy search only formulas whose units agree: a unit is a mapping such
        as {'m': 1, 's': -2}, a string such as 'kg*m/s^2' (with pint) or a pint unit."""
    def fit(
        self,
        inputs: _Matrix,
        ys: _Vector,
        *,
        units: Sequence[_Unit] | None = None,
        target_units: _Unit = None,
        progress: _Progress = None,
    ) -> SearchResult:
        """Alias for find_multivariate (Scikit-Learn style)."""
    def find_candidates(
        self,
        inputs: _Matrix,
        ys: _Vector,
        *,
        units: Sequence[_Unit] | None = None,
        target_units: _Unit = None,
        progress: _Progress = None,
    ) -> Front:
        """Returns the Pareto-front of all candidate formulas found."""
    def find_selected(
        self,
        inputs: _Matrix,
        ys: _Vector,
        *,
        units: Sequence[_Unit] | None = None,
        target_units: _Unit = None,
        progress: _Progress = None,
    ) -> SearchResult:
        """Finds the formula of least description length among the candidates.
        Runs the search of find_multivariate and picks, from its Pareto-front, the formula
        that best trades error against complexity and fitted numbers."""
    def recognize_constant(
        self, value: _Number, *, integers: bool = False, digits: SupportsIndex | None = None
    ) -> SearchResult:
        """Identifies a closed-form expression for a scalar constant."""
    def recognize_constant_candidates(
        self,
        value: _Number,
        *,
        integers: bool = False,
        digits: SupportsIndex | None = None,
        count: SupportsIndex = 10,
    ) -> list[SearchResult]:
        """Returns up to count closed forms for a scalar constant, best first: by error, then complexity."""
    def _find_pareto(
        self,
        inputs: _Matrix,
        ys: _Vector,
        *,
        units: Sequence[_Unit] | None = None,
        target_units: _Unit = None,
        progress: _Progress = None,
    ) -> Front:
        """Returns the Pareto-front of one search that stops early, as find_multivariate does."""
    def __reduce__(self) -> tuple[Callable[..., Searcher], tuple[int, dict[str, Any]]]: ...

@final
class SearchResult:
    """A high-performance symbolic regression result."""

    @property
    def formula(self) -> str:
        """The discovered mathematical formula as a string."""
    @property
    def error(self) -> float:
        """The residual error (root-mean-square error) of the formula."""
    @property
    def complexity(self) -> int:
        """The structural complexity of the formula."""
    @property
    def within_precision(self) -> bool | None:
        """For constant recognition: whether the formula matches the value to the value's own precision (False: any likeness may be chance). None for other searches."""
    @property
    def units(self) -> dict[str, Any] | None:
        """The units the search was given, or None: a dict with the unit of each input column, of the target, and a note on how they were used (the dimensionless groups searched, a fitted constant that carries units, or why the search went on without them)."""
    @property
    def description_length(self) -> float:
        """The model-selection criterion of the formula on the search's data, in nats: lower is better. It weighs the fit against the complexity and the number of fitted numbers. NaN for results pickled before it was recorded."""
    def to_latex(self) -> str:
        """Returns the formula in LaTeX format for academic reporting."""
    def to_python(self) -> str:
        """Returns the formula in Python/NumPy format for immediate use."""
    def eval(self, x: _Number | _Vector) -> float:
        """Evaluates the discovered formula for a given input (float or list/array)."""
    def eval_batch(self, inputs: _Matrix) -> list[float]:
        """Evaluates the formula for a batch of inputs (list of lists or 2D array)."""
    def predict(self, inputs: _Matrix) -> list[float]:
        """Alias for eval_batch (Scikit-Learn style)."""
    def _repr_latex_(self) -> str: ...
    def _repr_html_(self) -> str: ...
    def __reduce__(
        self,
    ) -> tuple[Callable[[_ResultState], SearchResult], tuple[_ResultState]]: ...
    def __reduce_ex__(
        self, protocol: SupportsIndex, /
    ) -> tuple[Callable[[_ResultState, str], SearchResult], tuple[_ResultState, str]]: ...

def _rebuild_result(state: _ResultState, version: str | None = None, /) -> SearchResult:
    """Rebuilds a pickled SearchResult from its state."""

# (name, arity) of every built-in operator, in id order.
_operators: tuple[tuple[str, int], ...]
# Searcher's options in the constructor's order: (name, default, keyword_only, doc, kind, minimum,
# minimum_included, finite, none_allowed, choices); kov_sr._options reads them.
_searcher_options: tuple[
    tuple[
        str,
        Any,
        bool,
        str,
        Literal["int", "float", "bool", "str"],
        float | None,
        bool,
        bool,
        bool,
        tuple[str, ...],
    ],
    ...,
]

def _rebuild_searcher(*state: Any) -> Searcher:
    """Rebuilds a pickled Searcher from its settings."""

class KovDimensionError(Exception): ...
class KovComplexityError(Exception): ...
class KovRuntimeError(Exception): ...

# The private steps of kov_sr.distributed; the capsules are opaque.
def _distributed_problem(
    searcher: Searcher, kind: str, first: Any, second: Any, /
) -> tuple[bytes, bool]: ...
def _distributed_settings(problem: bytes, /) -> dict[str, Any]: ...
def _distributed_driver(problem: bytes, /) -> tuple[Any, int, int, bool]: ...
def _distributed_early_exit(driver: Any, /) -> bool: ...
def _distributed_seeded_line(seeds: int, /) -> str: ...
def _distributed_merge(
    driver: Any, scores: Sequence[bytes], /
) -> tuple[bytes, str, tuple[dict[str, Any], ...]]: ...
def _distributed_finish(driver: Any, pick: str, /) -> Any: ...
def _distributed_replica(problem: bytes, share: int, shares: int, threads: int, /) -> Any: ...
def _distributed_expand(replica: Any, /) -> tuple[bytes, ...]: ...
def _distributed_offer(replica: Any, offers: bytes | memoryview, /) -> None: ...
def _distributed_judge(
    replica: Any, offers: Sequence[bytes | memoryview], /
) -> tuple[bytes, ...]: ...
def _distributed_score(replica: Any, verdicts: Sequence[bytes], /) -> bytes: ...
def _distributed_add_level(replica: Any, beam: bytes, /) -> int: ...
