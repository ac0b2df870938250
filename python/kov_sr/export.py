"""Formulas in other hands: SymPy expressions, and texts with the user's variable names.

``to_sympy`` reads a result's formula text (``Plus(Times(v_{0}, 2.5), Pi)``) back into a SymPy
expression; SymPy is optional and imported only when ``to_sympy`` is called. ``with_names`` puts
feature names in place of ``v_{i}`` in any formula text or rendering. ``simplify`` and
``simplified_text`` give the formula's real value in a readable form (see
``kov_sr.simplification``).
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING

from kov_sr._formula_reader import VARIABLE, HasFormula, Parser, sympy_heads
from kov_sr.simplification import simplified_text, simplify

if TYPE_CHECKING:
    import sympy

__all__ = ["simplified_text", "simplify", "to_sympy", "with_names"]

def to_sympy(
    result: HasFormula | str,
    feature_names: Sequence[str | sympy.Symbol] | None = None,
) -> sympy.Expr:
    """Return the formula of ``result`` as a SymPy expression.

    ``result`` is a ``SearchResult`` (or its ``formula`` text). Input variable ``i`` becomes the
    real symbol ``feature_names[i]`` (a name or a ``sympy.Symbol``), or ``v_i`` when no names are
    given. ``KOV(a, b)`` becomes ``exp(a) - log(b)``; whole numbers such as ``2`` (constant
    recognition's integers) become SymPy Integers and fitted numbers SymPy Floats holding exactly
    the fitted double.

    The engine evaluates over the complex numbers and reports the real part. SymPy's branches
    agree with the engine's except for ``ArcSin`` and ``ArcCos`` of real arguments above 1, where
    the engine takes the complex conjugate of SymPy's value (the real part is the same).
    """
    try:
        import sympy
    except ImportError as error:
        raise ImportError("to_sympy needs SymPy: pip install 'kov-sr[sympy]'") from error

    text = result if isinstance(result, str) else result.formula
    return Parser(text, _variable_maker(feature_names), sympy_heads(sympy)).parse()


def with_names(text: str, names: Sequence[str], render: Callable[[str], str] = str) -> str:
    """Put ``render(names[i])`` in place of every ``v_{i}`` of a formula text or rendering."""
    return VARIABLE.sub(lambda match: render(names[int(match.group(1))]), text)


def _variable_maker(
    feature_names: Sequence[str | sympy.Symbol] | None,
) -> Callable[[int], sympy.Expr]:
    import sympy

    def variable(index: int) -> sympy.Expr:
        if feature_names is None:
            return sympy.Symbol(f"v_{index}", real=True)
        if index >= len(feature_names):
            raise ValueError(
                f"the formula uses input variable {index} but only "
                f"{len(feature_names)} feature names were given"
            )
        name = feature_names[index]
        return sympy.Symbol(name, real=True) if isinstance(name, str) else name

    return variable
