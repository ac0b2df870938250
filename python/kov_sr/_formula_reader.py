"""Reading the engine's formula text (``Plus(Times(v_{0}, 2.5), Pi)``) into SymPy.

Shared by ``kov_sr.export`` (``to_sympy``) and ``kov_sr.simplification`` (readable forms). SymPy is
passed in by the callers, which import it only when asked for it.
"""

from __future__ import annotations

import re
from collections.abc import Callable
from typing import Any, NoReturn, Protocol

from kov_sr._core import _operators

VARIABLE = re.compile(r"v_\{(\d+)\}")


class HasFormula(Protocol):
    @property
    def formula(self) -> str: ...


# One token of the formula text: a variable, a number (Python's repr of a float, so signs,
# exponents, inf and nan occur), an operator or constant name, or punctuation.
TOKEN = re.compile(
    r"\s*(?:"
    r"(?P<var>v_\{(?P<index>\d+)\})"
    r"|(?P<number>[-+]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?|inf|nan))"
    r"|(?P<name>[A-Za-z]+)"
    r"|(?P<punct>[(),])"
    r")"
)


def sympy_heads(sympy: Any) -> dict[str, tuple[int, Callable[..., Any]]]:
    """Arity and SymPy construction of every operator and constant name of the formula text.

    Names and arities come from the compiled module's operator table; a name without a SymPy
    construction fails here (and in the tests) rather than reading as an unknown name.
    """
    constructions = sympy_constructions(sympy)
    return {name: (arity, constructions[name]) for name, arity in _operators}


def sympy_constructions(sympy: Any) -> dict[str, Callable[..., Any]]:
    """The SymPy form of each operator name, applied to its operands' SymPy forms."""
    return {
        "0": lambda: sympy.S.Zero,
        "1": lambda: sympy.S.One,
        "I": lambda: sympy.I,
        "Pi": lambda: sympy.pi,
        "E": lambda: sympy.E,
        "KOV": lambda a, b: sympy.exp(a) - sympy.log(b),
        "Neg": lambda a: -a,
        "Inv": lambda a: 1 / a,
        "Plus": lambda a, b: a + b,
        "Times": lambda a, b: a * b,
        "Subtract": lambda a, b: a - b,
        "Divide": lambda a, b: a / b,
        "Exp": sympy.exp,
        "Log": sympy.log,
        "Sqrt": sympy.sqrt,
        "Sin": sympy.sin,
        "Cos": sympy.cos,
        "Tan": sympy.tan,
        "ArcSin": sympy.asin,
        "ArcCos": sympy.acos,
        "ArcTan": sympy.atan,
    }


class Parser:
    """Recursive descent over ``Name(arg, arg)`` text."""

    def __init__(
        self,
        text: str,
        variable: Callable[[int], Any],
        heads: dict[str, tuple[int, Callable[..., Any]]],
    ) -> None:
        self._text = text
        self._variable = variable
        self._heads = heads
        self._tokens = self._tokenize(text)
        self._position = 0

    def parse(self) -> Any:
        expression = self._expression()
        if self._position != len(self._tokens):
            self._fail("unexpected text after the formula")
        return expression

    def _tokenize(self, text: str) -> list[tuple[str, str]]:
        tokens: list[tuple[str, str]] = []
        offset = 0
        while offset < len(text.rstrip()):
            match = TOKEN.match(text, offset)
            if match is None or match.end() == offset:
                raise ValueError(f"cannot read formula {text!r} at position {offset}")
            kind = next(name for name in ("var", "number", "name", "punct") if match.group(name))
            value = match.group("index") if kind == "var" else match.group(kind)
            tokens.append((kind, value))
            offset = match.end()
        return tokens

    def _expression(self) -> Any:
        kind, value = self._next()
        if kind == "var":
            return self._variable(int(value))
        if kind == "number":
            return self._number(value)
        if kind != "name" or value not in self._heads:
            self._fail(f"unknown name {value!r}")
        arity, build = self._heads[value]
        if arity == 0:
            return build()
        self._expect("(")
        operands = [self._expression()]
        for _ in range(arity - 1):
            self._expect(",")
            operands.append(self._expression())
        self._expect(")")
        return build(*operands)

    def _number(self, text: str) -> Any:
        import sympy

        # The constants 0 and 1 and the integer leaves (2, 3, ...) are bare digits; a fitted
        # number is a float repr, which always has a point, an exponent, inf or nan.
        if text.isascii() and text.isdigit():
            return sympy.Integer(int(text))
        if text.lstrip("+-") == "inf":
            return -sympy.oo if text.startswith("-") else sympy.oo
        if text.lstrip("+-") == "nan":
            return sympy.nan
        # Through float() and 53 bits the Float is exactly the fitted double, subnormals included.
        return sympy.Float(float(text), precision=53)

    def _next(self) -> tuple[str, str]:
        if self._position >= len(self._tokens):
            self._fail("the formula ends too early")
        token = self._tokens[self._position]
        self._position += 1
        return token

    def _expect(self, punct: str) -> None:
        kind, value = self._next()
        if (kind, value) != ("punct", punct):
            self._fail(f"expected {punct!r}, found {value!r}")

    def _fail(self, reason: str) -> NoReturn:
        raise ValueError(f"cannot read formula {self._text!r}: {reason}")
