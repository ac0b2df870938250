"""The ``kov-sr`` command: formulas for CSV files and closed forms for numbers.

    kov-sr fit FILE.csv [--target COLUMN] [--max-complexity N] [--beam-width N] [--penalty X]
                        [--strategy {classic,thorough}] [--time-limit SECONDS] [--noise SIGMA]
                        [--candidates] [--quiet] [--progress]
                        [--units COLUMN=UNIT ...]
    kov-sr constant VALUE...
    kov-sr --version

``fit`` uses the thorough search by default; ``constant`` the classic one, whose answers are closed
forms without fitted numbers.

``--units`` gives the unit of every column, the target's included, by its CSV name, e.g.
``--units m=kg v=m/s c=m/s p=kg*m/s`` (unit strings read by pint; ``1`` is dimensionless): the
thorough search then tries only formulas whose units agree.

Results go to standard output and the search's progress lines to standard error, so the results
can be piped. Bad input gets one line on standard error and exit status 2.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import math
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any, NoReturn

from kov_sr._core import KovComplexityError, KovDimensionError, Searcher
from kov_sr._options import SEARCH_OPTIONS, SearchOption, searcher_arguments
from kov_sr.export import with_names
from kov_sr.selection import select
from kov_sr.versions import package_version
from kov_sr.units import parse_unit

__all__ = ["main"]

EXIT_NO_FORMULA = 1
EXIT_BAD_INPUT = 2
EXIT_INTERRUPTED = 130  # the shell's status for a command ended by Ctrl-C


class InputError(Exception):
    """Input the command cannot use; its message is the one line shown to the user."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line instead of argparse's usage block, like every other input error here.
        self.exit(EXIT_BAD_INPUT, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with ``argv`` (default: ``sys.argv[1:]``); return the exit status."""
    arguments = _argument_parser().parse_args(argv)
    try:
        if arguments.command == "fit":
            _fit(arguments)
        else:
            _constant(arguments)
    except (InputError, KovDimensionError) as error:
        print(f"kov-sr: error: {error}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except KovComplexityError as error:
        print(f"kov-sr: {error}", file=sys.stderr)
        return EXIT_NO_FORMULA
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    return 0


def _argument_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="kov-sr",
        description="Find closed-form formulas for data and numbers.",
    )
    parser.add_argument("--version", action="version", version=f"kov-sr {package_version()}")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    fit = commands.add_parser(
        "fit",
        help="find a formula for one column of a CSV file",
        description="Find a formula for the target column of a CSV file with a header row. "
        "Every other column is an input.",
    )
    fit.add_argument("file", metavar="FILE.csv", help="CSV file with a header row")
    fit.add_argument("--target", metavar="COLUMN", help="column to explain (default: the last)")
    fit.add_argument(
        "--candidates",
        action="store_true",
        help="print the Pareto table: each formula more accurate than every simpler one, with "
        "its description length (lower is better)",
    )
    _add_search_settings(fit, "fit")

    fit.add_argument(
        "--progress",
        action="store_true",
        help="show a progress bar on standard error instead of the progress lines: elapsed time "
        "against the time limit, the level, the best error so far",
    )
    fit.add_argument(
        "--units",
        nargs="+",
        metavar="COLUMN=UNIT",
        help="the unit of every column, the target's included (e.g. v=m/s t=s d=m; '1' for "
        "none; read by pint): only formulas whose units agree are searched (thorough strategy)",
    )

    constant = commands.add_parser(
        "constant",
        help="find a closed form for each number",
        description="Find a closed form for each number.",
    )
    constant.add_argument("values", nargs="+", type=_finite_float, metavar="VALUE")
    _add_search_settings(constant, "constant")
    return parser


@dataclass(frozen=True)
class _Flag:
    """How the command line offers one Searcher option; help and checks come from its row."""

    names: tuple[str, ...]
    metavar: str | None
    commands: tuple[str, ...] = ("fit", "constant")
    default: Any = None  # the command's own default; None: Searcher's
    help: str | None = None  # None: the option's doc line


# Every Searcher option, by name; one offered by no command has commands=(). A bool option's flag
# asks for the opposite of its default.
_FLAGS = {
    "max_complexity": _Flag(("--max-complexity",), "N"),
    "complexity_penalty": _Flag(("--penalty",), "X"),
    "beam_width": _Flag(("--beam-width",), "N"),
    # constant keeps Searcher's classic search: its answers are closed forms without fitted numbers.
    "strategy": _Flag(("--strategy",), None, ("fit",), default="thorough"),
    "time_limit": _Flag(("--time-limit",), "SECONDS", ("fit",)),
    "verbose": _Flag(("-q", "--quiet"), None, help="do not print the search's progress lines"),
    "noise": _Flag(("--noise",), "SIGMA", ("fit",)),
}


def _add_search_settings(parser: argparse.ArgumentParser, command: str) -> None:
    for option in SEARCH_OPTIONS:
        flag = _FLAGS[option.name]
        if command not in flag.commands:
            continue
        value = option.default if flag.default is None else flag.default
        if option.kind == "bool":
            parser.add_argument(
                *flag.names,
                dest=option.name,
                action="store_false" if value else "store_true",
                help=flag.help or option.doc,
            )
            continue
        text = flag.help or option.doc.rstrip(".")
        if value is None:  # the doc line says what None means: "...; None for no limit."
            text = text.replace("; None", "; default: none,")
        else:
            text += f" (default: {value})"
        parser.add_argument(
            *flag.names,
            dest=option.name,
            type=_reader(option),
            choices=option.choices or None,
            default=value,
            metavar=flag.metavar,
            help=text,
        )


def _reader(option: SearchOption) -> Callable[[str], Any]:
    """The type function of an option's flag: the text as the option's kind, in its range."""
    if option.kind == "str":
        return str

    def read(text: str) -> Any:
        value = _whole_number(text) if option.kind == "int" else _finite_float(text)
        minimum = option.minimum
        if minimum is not None:
            if option.minimum_included and value < minimum:
                words = "must not be negative" if minimum == 0 else f"must be at least {minimum:g}"
                raise argparse.ArgumentTypeError(f"{words}: {text!r}")
            if not option.minimum_included and value <= minimum:
                raise argparse.ArgumentTypeError(f"must be greater than {minimum:g}: {text!r}")
        return value

    return read


def _whole_number(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None


def _finite_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"not a finite number: {text!r}")
    return value


def _search_output(arguments: argparse.Namespace) -> contextlib.AbstractContextManager[Any]:
    # The search writes its progress lines through sys.stdout, but the results own standard output:
    # the lines go to standard error. A quiet search writes none (see _searcher).
    if not arguments.verbose:
        return contextlib.nullcontext()
    return contextlib.redirect_stdout(sys.stderr)


def _searcher(arguments: argparse.Namespace) -> Searcher:
    given = vars(arguments)
    args, kwargs = searcher_arguments(
        {option.name: given[option.name] for option in SEARCH_OPTIONS if option.name in given}
    )
    return Searcher(*args, **kwargs)


def _fit(arguments: argparse.Namespace) -> None:
    names, rows = read_csv(arguments.file)
    target = _target_index(names, arguments.target)
    input_names = names[:target] + names[target + 1 :]
    inputs = [row[:target] + row[target + 1 :] for row in rows]
    ys = [row[target] for row in rows]
    searcher = _searcher(arguments)
    units = _units_by_column(arguments.units, input_names, names[target])
    if units and arguments.strategy != "thorough":
        raise InputError("--units needs the thorough strategy (--strategy thorough)")
    if arguments.candidates:
        with _search_output(arguments):
            results = searcher.find_candidates(inputs, ys, progress=arguments.progress, **units)
        print(f"{'complexity':>10}  {'error':<12}  {'description_length':>18}  formula")
        for result in results:
            formula = with_names(result.formula, input_names)
            print(
                f"{result.complexity:>10}  {result.error:<12.6g}  "
                f"{result.description_length:>18.6g}  {formula}"
            )
    else:
        # The Pareto list of the search find_multivariate runs: its first entry is that answer.
        with _search_output(arguments):
            results = searcher._find_pareto(inputs, ys, progress=arguments.progress, **units)
        if not results:  # only non-finite errors: what find_multivariate reports
            raise KovComplexityError(f"No formula found up to complexity {arguments.max_complexity}")
        result = results[0]
        print(f"{names[target]} = {with_names(result.formula, input_names)}")
        print(f"error {result.error:.6g} (root-mean-square), complexity {result.complexity}")
        if result.units is not None:
            print(f"units: {result.units['note']}")
        selected = select(results)
        if selected is not result:
            print(
                f"selected (least description length): {names[target]} = "
                f"{with_names(selected.formula, input_names)}, error {selected.error:.6g}, "
                f"complexity {selected.complexity}"
            )


def _units_by_column(
    given: Sequence[str] | None, input_names: Sequence[str], target_name: str
) -> dict[str, Any]:
    """units= and target_units= from COLUMN=UNIT texts, which must name every column once."""
    if not given:
        return {}
    by_name: dict[str, str] = {}
    for text in given:
        name, equals, unit = text.partition("=")
        if not equals or not name:
            raise InputError(f"--units: {text!r} is not COLUMN=UNIT")
        if name not in (*input_names, target_name):
            raise InputError(f"--units: no column {name!r}")
        if name in by_name:
            raise InputError(f"--units: column {name!r} given twice")
        by_name[name] = unit
    missing = [name for name in (*input_names, target_name) if name not in by_name]
    if missing:
        raise InputError(f"--units: no unit for the columns {', '.join(missing)}")
    try:
        inputs = [parse_unit(by_name[name], f"--units: column {name!r}") for name in input_names]
        target = parse_unit(by_name[target_name], f"--units: column {target_name!r}")
    except ValueError as error:
        raise InputError(str(error)) from None
    return {"units": inputs, "target_units": target}


def _constant(arguments: argparse.Namespace) -> None:
    searcher = _searcher(arguments)
    for value in arguments.values:
        with _search_output(arguments):
            result = searcher.recognize_constant(value)
        print(f"{value!r} = {result.formula}    error {result.error:.6g}")


def read_csv(path: str) -> tuple[list[str], list[list[float]]]:
    """Read a CSV file with a header row and numbers in every other cell."""
    try:
        with open(path, newline="", encoding="utf-8-sig") as file:
            reader = csv.reader(file)
            # Blank lines are skipped; line numbers stay those of the file.
            records = [(reader.line_num, record) for record in reader if "".join(record).strip()]
    except (OSError, UnicodeDecodeError, csv.Error) as error:
        raise InputError(f"cannot read {path}: {_reason(error)}") from None
    if not records:
        raise InputError(f"{path} is empty: a header row and data rows are needed")
    names = [name.strip() for name in records[0][1]]
    if len(names) < 2:
        raise InputError(f"{path} has one column; an input and a target column are needed")
    if len(set(names)) != len(names) or not all(names):
        raise InputError(f"{path}: the header row needs distinct, non-empty column names")
    if len(records) == 1:
        raise InputError(f"{path} has a header row but no data rows")
    rows = [_numbers(path, line, names, record) for line, record in records[1:]]
    return names, rows


def _numbers(path: str, line: int, names: Sequence[str], record: Sequence[str]) -> list[float]:
    if len(record) != len(names):
        raise InputError(f"{path}, line {line}: {len(record)} values for {len(names)} columns")
    row = []
    for name, cell in zip(names, record, strict=True):
        try:
            value = float(cell)
        except ValueError:
            value = math.nan
        if not math.isfinite(value):
            raise InputError(
                f"{path}, line {line}, column {name!r}: {cell!r} is not a finite number"
            )
        row.append(value)
    return row


def _target_index(names: Sequence[str], target: str | None) -> int:
    if target is None:
        return len(names) - 1
    if target not in names:
        raise InputError(f"no column named {target!r}; the columns are {', '.join(names)}")
    return names.index(target)


def _reason(error: Exception) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error)
