"""Units of a search's inputs and target, read into one normalized form.

A unit is a mapping from base-dimension names to exponents (``{"m": 1, "s": -2}``; any names, pint's
base dimensions go by their SI symbols m, kg, s, A, K, mol, cd;
int, fractions.Fraction or a float that is a simple fraction; ``{}`` is dimensionless), a string
read by pint (``"kg*m/s^2"``, ``"N"``, ``"J/K"``; needs the optional ``pint``), or a pint unit.
Inputs given as pint quantities (pint arrays, pint-pandas columns) carry their units. The search
methods call :func:`_prepare`; the engine receives exponents over named dimensions.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from fractions import Fraction
from typing import Any

Unit = Mapping[str, Any] | str | Any
Exponents = dict[str, Fraction]

_LARGEST_DENOMINATOR = 12


def _exponent(value: Any, where: str, name: str) -> Fraction:
    if isinstance(value, bool) or not isinstance(value, (int, float, Fraction)):
        raise ValueError(f"{where}: the exponent of {name!r} must be a number, not {value!r}")
    if isinstance(value, float):
        if value != value or value in (float("inf"), float("-inf")):
            raise ValueError(f"{where}: the exponent of {name!r} must be finite, not {value!r}")
        simple = Fraction(value).limit_denominator(_LARGEST_DENOMINATOR)
        if abs(float(simple) - value) > 1e-9:
            raise ValueError(
                f"{where}: the exponent {value!r} of {name!r} is not a simple fraction")
        return simple
    return Fraction(value)


def _from_mapping(unit: Mapping[Any, Any], where: str) -> Exponents:
    out: Exponents = {}
    for name, value in unit.items():
        if not isinstance(name, str) or not name:
            raise ValueError(f"{where}: dimension names must be non-empty strings, not {name!r}")
        exponent = _exponent(value, where, name)
        if exponent:
            out[name] = exponent
    return out


def _registry() -> Any:
    try:
        import pint
    except ImportError:  # pragma: no cover - pint is an optional extra
        return None
    return pint.get_application_registry()  # type: ignore[no-untyped-call]


# pint's base dimensions by their SI symbols, so that strings and mappings such as {"m": 1} agree.
_SI_SYMBOLS = {"length": "m", "mass": "kg", "time": "s", "current": "A", "temperature": "K",
               "substance": "mol", "luminosity": "cd"}


def _from_dimensionality(dimensionality: Mapping[str, Any], where: str) -> Exponents:
    names = (str(name).strip("[]") for name in dimensionality)
    return _from_mapping({_SI_SYMBOLS.get(name, name): value
                          for name, value in zip(names, dimensionality.values())}, where)


def parse_unit(unit: Unit, where: str) -> Exponents:
    """The exponents of one unit; ValueError naming ``where`` when it cannot be read."""
    if isinstance(unit, Mapping):
        return _from_mapping(unit, where)
    if isinstance(unit, str):
        registry = _registry()
        if registry is None:
            raise ValueError(f"{where}: reading the unit {unit!r} needs pint "
                             "(pip install 'kov_sr[units]'), or give a mapping such as "
                             "{'m': 1, 's': -2}")
        text = unit.strip() or "dimensionless"
        if text == "1":
            text = "dimensionless"
        try:
            parsed = registry.parse_units(text)
        except Exception as error:  # pint raises several kinds for text it cannot read
            raise ValueError(f"{where}: cannot read the unit {unit!r} ({error})") from None
        return _from_dimensionality(parsed.dimensionality, where)
    dimensionality = getattr(unit, "dimensionality", None)
    if isinstance(dimensionality, Mapping):
        return _from_dimensionality(dimensionality, where)
    raise ValueError(f"{where}: a unit must be a mapping of dimensions to exponents, a unit "
                     f"string or a pint unit, not {type(unit).__name__}")


def unit_text(exponents: Mapping[str, Fraction]) -> str:
    """``kg*m/s^2``; ``1`` when dimensionless."""
    def power(name: str, e: Fraction) -> str:
        if e == 1:
            return name
        return f"{name}^{e}" if e.denominator == 1 else f"{name}^({e})"
    top = [power(n, e) for n, e in sorted(exponents.items()) if e > 0]
    bottom = [power(n, -e) for n, e in sorted(exponents.items()) if e < 0]
    text = "*".join(top) or "1"
    if bottom:
        text += "/" + ("(" + "*".join(bottom) + ")" if len(bottom) > 1 else bottom[0])
    return text


def parse_units(units: Any, count: int, argument: str = "units") -> list[Exponents]:
    """One unit per input column; ValueError naming the column or the count."""
    if isinstance(units, (str, Mapping)) or not isinstance(units, Sequence):
        raise ValueError(f"{argument} must be a sequence with one unit per input column")
    if len(units) != count:
        raise ValueError(f"{argument} gives {len(units)} units for {count} input columns")
    return [parse_unit(unit, f"{argument}[{i}] (column x{i})") for i, unit in enumerate(units)]


def _is_quantity(value: Any) -> bool:
    return hasattr(value, "magnitude") and hasattr(value, "units") and hasattr(
        value, "dimensionality")


def _pint_columns(frame: Any) -> list[Any] | None:
    """The pint units of each column of a DataFrame, or None when it has none."""
    dtypes = getattr(frame, "dtypes", None)
    if dtypes is None or not hasattr(frame, "columns"):
        return None
    units = [getattr(dtype, "units", None) for dtype in dtypes]
    if all(unit is None for unit in units):
        return None
    return units


def strip_quantities(value: Any, argument: str, keep_frame: bool = False) -> tuple[Any, Any]:
    """(plain numbers, units carried or None) of the inputs or the targets: pint quantities and
    pint-pandas columns give their magnitudes (a DataFrame stays one with ``keep_frame``) and
    their units, one per column."""
    if _is_quantity(value):
        return value.magnitude, [value.units]
    columns = _pint_columns(value)
    if columns is not None:
        if any(unit is None for unit in columns):
            missing = [str(name) for name, unit in zip(value.columns, columns) if unit is None]
            raise ValueError(f"{argument}: the columns {', '.join(missing)} have no pint units "
                             "while others do")
        plain = value.copy()
        for name in plain.columns:
            plain[name] = plain[name].pint.magnitude
        return (plain if keep_frame else plain.to_numpy(dtype=float)), columns
    dtype_units = getattr(getattr(value, "dtype", None), "units", None)
    if dtype_units is not None and hasattr(value, "pint"):
        return value.pint.magnitude.to_numpy(dtype=float), [dtype_units]
    return value, None


def _columns_of(inputs: Any, one_column: bool) -> int:
    if one_column:
        return 1
    shape = getattr(inputs, "shape", None)
    if shape is not None and len(shape) == 2:
        return int(shape[1])
    try:
        return len(inputs[0])
    except (TypeError, IndexError, KeyError):
        return 0


def normalize(units: Any, target_units: Any, columns: int,
              names: tuple[str, str] = ("units", "target_units"),
              ) -> tuple[list[Exponents], Exponents]:
    """The exponents of each column and of the target, checked; ``names`` are the arguments'
    names for the messages."""
    if units is None or target_units is None:
        given, missing = names if target_units is None else names[::-1]
        raise ValueError(f"{given} needs {missing} too: the units of the inputs and of the target "
                         "go together")
    inputs = parse_units(units, columns, names[0])
    target = parse_unit(target_units, names[1])
    return inputs, target


def _engine_form(inputs: list[Exponents], target: Exponents) -> tuple[Any, ...]:
    names = sorted({name for unit in [*inputs, target] for name in unit})

    def row(unit: Exponents) -> tuple[tuple[int, int], ...]:
        return tuple((unit.get(n, Fraction(0)).numerator, unit.get(n, Fraction(0)).denominator)
                     for n in names)
    return (tuple(names), tuple(row(unit) for unit in inputs), row(target))


def carried_units(carried: list[Any] | None, columns: int) -> list[Any] | None:
    """The units a quantity carried, one per column (a whole array's unit repeated)."""
    if carried is None:
        return None
    return carried * columns if len(carried) == 1 and columns > 1 else carried


def _prepare(inputs: Any, ys: Any, units: Any, target_units: Any,
             one_column: bool) -> tuple[Any, Any, Any]:
    """(inputs, ys, units for the engine or None): pint quantities become plain numbers and give
    their units unless ``units``/``target_units`` are given."""
    inputs, carried = strip_quantities(inputs, "xs" if one_column else "inputs")
    ys, carried_target = strip_quantities(ys, "ys")
    if units is None and carried is not None:
        units = carried_units(carried, _columns_of(inputs, one_column))
    if target_units is None and carried_target is not None:
        target_units = carried_target[0]
    if units is None and target_units is None:
        return inputs, ys, None
    if one_column and units is not None and (
            isinstance(units, (str, Mapping)) or not isinstance(units, Sequence)):
        units = [units]
    exponents, target = normalize(units, target_units, _columns_of(inputs, one_column))
    return inputs, ys, _engine_form(exponents, target)
