"""Readable forms of found formulas: the value the search reports, written simply.

The search evaluates over the complex numbers and reports the real part, so a formula it builds
may pass through complex values: ``ArcSin(3.141592653589793)`` stands for its real part π/2 once
the rest of the formula is real. ``simplify`` turns a formula into a SymPy expression whose value
is that real part, with such identities resolved and fitted numbers that are simple values to
rounding (``3.1415926535897927``, ``0.5``) written as those values. SymPy is optional and imported
only here, when called.

Why it is built this way:

- The real part is taken of the whole formula (``re(...)`` over real symbols), never of a piece:
  an imaginary part can become real further up (``Times(I, ArcSin(2.0))``).
- ``ArcSin`` and ``ArcCos`` of constants beyond ±1 are replaced by their exact complex values on
  the engine's branch (SymPy leaves ``re(asin(pi))`` unevaluated).
- The form without ``re(...)`` is far shorter (``sqrt(1 - x**2)`` instead of an expression in
  ``atan2`` and ``Abs``), but equals the real part only where the value is real. With the data's
  ``inputs`` it is used when it computes the formula's values on them; without, only when SymPy
  can prove it real.
- SymPy's ``simplify`` can take very long on some inputs: it runs under a time limit and falls back
  to the expression before simplification.
"""

from __future__ import annotations

import math
import signal
import threading
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, TypeVar

from kov_sr._formula_reader import VARIABLE, HasFormula, Parser, sympy_heads

if TYPE_CHECKING:
    import sympy


__all__ = ["simplify", "simplified_text"]

# Rows of the data at most used to check a candidate form (evenly spread; the check is exact
# arithmetic in mpmath, so it is kept short).
_CHECKED_ROWS = 64
# Relative agreement that counts as "the same value" (the forms differ only in rounding).
_TOLERANCE = 1e-9
# A fitted number is shown as a simple value only within this many units in the last place.
_SNAP_ULPS = 2
_LARGEST_DENOMINATOR = 12
_LARGEST_NUMERATOR = 1000

_T = TypeVar("_T")


def simplify(
    result: HasFormula | str,
    feature_names: Sequence[str] | None = None,
    inputs: Any = None,
    *,
    time_limit: float = 5.0,
) -> sympy.Expr:
    """Return the real value of ``result``'s formula as a simplified SymPy expression.

    ``result`` is a ``SearchResult`` or its ``formula`` text. Input variable ``i`` becomes the real
    symbol ``feature_names[i]`` (``v_i`` without names). ``inputs``, the rows of the data (as for
    ``predict``), are optional: with them, variables that are positive on every row become
    positive symbols, and the shorter form without ``re(...)`` is used when it computes the
    formula's values on the rows. ``time_limit`` bounds SymPy's simplification, in seconds; past
    it the expression is returned unsimplified (still the real value). The stored ``formula`` is
    not changed.
    """
    import sympy

    text = result if isinstance(result, str) else result.formula
    rows = _rows(inputs)
    symbols = _symbols(text, feature_names, rows)
    expression = _readable_sympy(text, symbols)
    plain_form = _simplified(expression, time_limit)
    if rows:
        reference = _reference_values(result, text, symbols, rows)
        if _computes(plain_form, symbols, rows, reference):
            return plain_form
    elif plain_form.is_extended_real:
        return plain_form
    # The real part, expanded over real symbols, or kept as re(...) where that reads shorter.
    real_form = _simplified(sympy.re(expression), time_limit)
    kept = sympy.re(plain_form, evaluate=False)
    return kept if sympy.count_ops(kept) < sympy.count_ops(real_form) else real_form


def simplified_text(
    result: HasFormula | str,
    feature_names: Sequence[str] | None = None,
    inputs: Any = None,
    *,
    time_limit: float = 5.0,
) -> str:
    """``simplify(...)`` as text, in SymPy's notation (``x**2``, ``sqrt``, ``pi``, ``E``); fitted
    numbers are written as Python writes the double (SymPy would round them to 15 digits)."""
    import sympy

    expression = simplify(result, feature_names, inputs, time_limit=time_limit)
    shortest = {
        number: sympy.Float(repr(float(number)))
        for number in expression.atoms(sympy.Float)
        if math.isfinite(float(number))
    }
    text: str = sympy.sstr(expression.xreplace(shortest))
    return text


# ---- Symbols ---------------------------------------------------------------------------------


def _rows(inputs: Any) -> list[list[float]]:
    if inputs is None:
        return []
    rows = [[float(value) for value in row] for row in inputs]
    if len(rows) > _CHECKED_ROWS:
        step = len(rows) / _CHECKED_ROWS
        rows = [rows[int(k * step)] for k in range(_CHECKED_ROWS)]
    return rows


def _symbols(
    text: str, feature_names: Sequence[str] | None, rows: list[list[float]]
) -> list[sympy.Symbol]:
    import sympy

    used = max((int(match.group(1)) + 1 for match in VARIABLE.finditer(text)), default=0)
    if feature_names is not None and len(feature_names) < used:
        raise ValueError(
            f"the formula uses input variable {used - 1} but only "
            f"{len(feature_names)} feature names were given"
        )
    symbols = []
    for index in range(used):
        name = f"v_{index}" if feature_names is None else str(feature_names[index])
        if rows and any(index >= len(row) for row in rows):
            raise ValueError(f"the formula uses input variable {index} but a row is shorter")
        positive = bool(rows) and all(row[index] > 0 for row in rows)
        symbols.append(
            sympy.Symbol(name, positive=True) if positive else sympy.Symbol(name, real=True)
        )
    return symbols


# ---- Rewrites --------------------------------------------------------------------------------


def _simple_values() -> list[Any]:
    import sympy

    return [
        sympy.S.One,
        sympy.pi,
        sympy.E,
        sympy.sqrt(2),
        sympy.sqrt(3),
        sympy.pi**2,
        sympy.E**2,
        sympy.sqrt(sympy.pi),
        1 / sympy.pi,
        1 / sympy.sqrt(sympy.pi),
        sympy.sqrt(2 * sympy.pi),
        1 / sympy.sqrt(2 * sympy.pi),
        sympy.log(2),
    ]


def _snap_number(value: float) -> Any:
    """A simple exact value equal to ``value`` to rounding, or None."""
    import sympy

    if value == 0.0 or not math.isfinite(value):
        return None
    allowed = _SNAP_ULPS * math.ulp(value)
    for base in _simple_values():
        base_value = float(base)
        for denominator in range(1, _LARGEST_DENOMINATOR + 1):
            numerator = round(value * denominator / base_value)
            if numerator == 0 or abs(numerator) > _LARGEST_NUMERATOR:
                continue
            exact = sympy.Rational(numerator, denominator) * base
            if math.gcd(numerator, denominator) != 1:
                continue  # found already with the smaller denominator
            if abs(float(sympy.N(exact, 30)) - value) <= allowed:
                return exact
    return None


def _readable_sympy(text: str, symbols: list[sympy.Symbol]) -> Any:
    """The formula as SymPy builds it, with simple fitted numbers exact and ArcSin and ArcCos of
    constants on the engine's branch. Done while parsing: SymPy evaluates asin(2.0) at once."""
    import sympy

    class SnappingParser(Parser):
        def _number(self, number_text: str) -> Any:
            value = super()._number(number_text)
            if isinstance(value, sympy.Float):
                return _snap_number(float(value)) or value
            return value

    heads = sympy_heads(sympy)
    heads["ArcSin"] = (1, _engine_asin)
    heads["ArcCos"] = (1, _engine_acos)
    return SnappingParser(text, lambda index: symbols[index], heads).parse()


def _beyond_one(argument: Any) -> bool:
    return not argument.free_symbols and bool(argument.is_extended_real) and bool(abs(argument) > 1)


def _engine_acos(argument: Any) -> Any:
    import sympy

    # π/2 − ArcSin on the same branch, as the engine computes it.
    return sympy.pi / 2 - _engine_asin(argument) if _beyond_one(argument) else sympy.acos(argument)


def _engine_asin(argument: Any) -> Any:
    """ArcSin on the engine's branch. Beyond ±1 a real constant gets its exact complex value:
    for x > 1 the engine takes the conjugate of C99's value (SymPy's symbolic branch)."""
    import sympy

    if not _beyond_one(argument):
        return sympy.asin(argument)
    sign = sympy.sign(argument)
    return sign * sympy.pi / 2 - sympy.I * sign * sympy.acosh(abs(argument))


def _simplified(expression: Any, time_limit: float) -> Any:
    import sympy

    return _within(time_limit, lambda: sympy.simplify(expression), expression)


def _within(seconds: float, work: Callable[[], _T], fallback: _T) -> _T:
    """``work()``, or ``fallback`` when it has not finished within ``seconds``."""

    # Not an Exception: SymPy catches those in places and would go on without a timer.
    class _Late(BaseException):
        pass

    # On the main thread an interval timer interrupts SymPy where it stands. Elsewhere (or when
    # the caller's own timer runs) the work runs on a helper thread that is left to finish alone.
    main = threading.current_thread() is threading.main_thread()
    if main and hasattr(signal, "setitimer") and signal.getitimer(signal.ITIMER_REAL)[0] == 0:

        def late(signum: int, frame: Any) -> None:
            raise _Late

        previous = signal.signal(signal.SIGALRM, late)
        try:
            signal.setitimer(signal.ITIMER_REAL, seconds)
            try:
                return work()
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
        except _Late:
            return fallback
        finally:
            signal.signal(signal.SIGALRM, previous)

    outcome: list[_T] = []
    helper = threading.Thread(target=lambda: outcome.append(work()), daemon=True)
    helper.start()
    helper.join(seconds)
    return outcome[0] if outcome else fallback


# ---- Checking a form on the data ---------------------------------------------------------------


def _reference_values(
    result: HasFormula | str,
    text: str,
    symbols: list[sympy.Symbol],
    rows: list[list[float]],
) -> list[float]:
    """The formula's real part on the rows: from the engine for a result, else exactly."""
    predict = getattr(result, "predict", None)
    if predict is not None:
        return [float(value) for value in predict(rows)]
    return _values(_readable_sympy(text, symbols), symbols, rows, real_part=True)


def _values(
    expression: Any, symbols: list[sympy.Symbol], rows: list[list[float]], real_part: bool
) -> list[float]:
    """Values at the rows in mpmath (its branches are the engine's); NaN where none, and NaN
    where the value is not real unless only the real part is asked for."""
    import mpmath
    import sympy

    function = sympy.lambdify(symbols, expression, modules="mpmath")
    values = []
    with mpmath.workdps(30):
        for row in rows:
            try:
                value = mpmath.mpc(function(*(mpmath.mpf(x) for x in row[: len(symbols)])))
            except (ArithmeticError, ValueError, TypeError):
                values.append(math.nan)
                continue
            real, imaginary = float(value.real), float(value.imag)
            scale = max(abs(real), 1.0)
            if not real_part and abs(imaginary) > _TOLERANCE * scale:
                real = math.nan
            values.append(real)
    return values


def _computes(
    expression: Any, symbols: list[sympy.Symbol], rows: list[list[float]], reference: list[float]
) -> bool:
    values = _values(expression, symbols, rows, real_part=False)
    for value, expected in zip(values, reference, strict=True):
        if math.isnan(expected):
            continue  # no value to keep: the formula fails there
        if math.isnan(value) or not math.isclose(
            value, expected, rel_tol=_TOLERANCE, abs_tol=_TOLERANCE
        ):
            return False
    return True
