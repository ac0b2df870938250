"""The main Python module entry point."""

from collections.abc import Callable, Sequence
from typing import Any, SupportsFloat, SupportsIndex, final

from numpy.typing import NDArray

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
# value.re, value.im), the composed formula text, complexity, var_count, error and description
# length. Layout 1 states (without the description length) still load.
_Token = tuple[int, int, int, int, float, float]
_ResultState = (
    tuple[int, tuple[_Token, ...], str, int, int, float, float]
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
    ) -> Searcher: ...
    def find_function(self, xs: _Vector, ys: _Vector) -> SearchResult:
        """Finds a univariate function f(x) ≈ y.
        Supports both Python lists and NumPy arrays."""
    def find_multivariate(self, inputs: _Matrix, ys: _Vector) -> SearchResult:
        """Finds a multivariate function f(x0, x1, ...) ≈ y.
        Inputs should be a 2D array-like structure."""
    def fit(self, inputs: _Matrix, ys: _Vector) -> SearchResult:
        """Alias for find_multivariate (Scikit-Learn style)."""
    def find_candidates(self, inputs: _Matrix, ys: _Vector) -> list[SearchResult]:
        """Returns the Pareto-front of all candidate formulas found."""
    def find_selected(self, inputs: _Matrix, ys: _Vector) -> SearchResult:
        """Finds the formula of least description length among the candidates.
        Runs the search of find_multivariate and picks, from its Pareto-front, the formula
        that best trades error against complexity and fitted numbers."""
    def recognize_constant(self, value: _Number) -> SearchResult:
        """Identifies a closed-form expression for a scalar constant."""
    def _find_pareto(self, inputs: _Matrix, ys: _Vector) -> list[SearchResult]:
        """Returns the Pareto-front of one search that stops early, as find_multivariate does."""
    def __reduce__(self) -> tuple[Callable[[int, float, int], Searcher], tuple[int, float, int]]: ...

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
    def __reduce__(
        self,
    ) -> tuple[Callable[[_ResultState], SearchResult], tuple[_ResultState]]: ...

def _rebuild_result(state: _ResultState, /) -> SearchResult:
    """Rebuilds a pickled SearchResult from its state."""

def _rebuild_searcher(
    max_complexity: int, complexity_penalty: float, beam_width: int, /
) -> Searcher:
    """Rebuilds a pickled Searcher from its settings."""

class KovDimensionError(Exception): ...
class KovComplexityError(Exception): ...
class KovRuntimeError(Exception): ...
