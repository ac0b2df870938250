"""The main Python module entry point."""

from collections.abc import Sequence
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
    def recognize_constant(self, value: _Number) -> SearchResult:
        """Identifies a closed-form expression for a scalar constant."""

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

class KovDimensionError(Exception): ...
class KovComplexityError(Exception): ...
class KovRuntimeError(Exception): ...
