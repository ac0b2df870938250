"""The ground-truth problems and their sampled data.

Five sets, each reported on its own:
  nguyen     Nguyen-1..12 with the sampling of Uy et al. (2011);
  physics    well-known physics formulas of one to four variables;
  keijzer    Keijzer-1..15 without Keijzer-6 (a sum of 1/i up to x, not a closed form), with the
             training sampling of Keijzer (2003) as tabulated by McDermott et al. (2012);
  livermore  Livermore-1..22 of Mundhenk et al. (2021), with their training sampling;
  textbook   physics from textbooks with the units of every variable (comparison/textbook.py),
             noise-free only; kov_sr runs it with and without the units.
U[a, b, n] is n points drawn uniformly from [a, b]; E[a, b, step] is the evenly spaced grid from
a to b. The held-out and check points are always drawn uniformly from the training ranges (the
published test sets of Keijzer-4 and -6 extrapolate; here every set is judged on its own domain).
Every problem also has twins with Gaussian noise on the training targets: 1% ("+noise") and 10%
("+noise10") of the targets' RMS.
"""

from __future__ import annotations

import fnmatch
import math
import zlib
from dataclasses import dataclass, replace

import numpy as np

from .textbook import TEXTBOOK

NOISE_LEVEL = 0.01  # standard deviation of the noise, relative to the RMS of the targets
NOISE_SUFFIX = "+noise"
# noise level: name suffix, in the order the report shows them
NOISE_LEVELS = {0.0: "", 0.01: NOISE_SUFFIX, 0.10: "+noise10"}
N_TEST = 200
N_CHECK = 1000


@dataclass(frozen=True)
class Problem:
    name: str
    truth: str  # SymPy syntax over x0, x1, ...
    ranges: tuple[tuple[float, float], ...]  # uniform sampling range of each variable
    n_train: int
    noise: float = 0.0  # relative to the RMS of the targets
    family: str = ""  # the problem set: nguyen, physics, keijzer or livermore
    grid_step: float | None = None  # training points on E[lo, hi, step] (one variable) if set
    # units of each variable and of the target, as sorted (dimension, exponent) pairs; None: unknown
    units: tuple[tuple[tuple[str, float], ...], ...] | None = None
    target_units: tuple[tuple[str, float], ...] | None = None

    @property
    def noisy(self) -> bool:
        return self.noise > 0.0

    @property
    def base_name(self) -> str:
        suffix = NOISE_LEVELS[self.noise]
        return self.name.removesuffix(suffix) if suffix else self.name

    @property
    def n_vars(self) -> int:
        return len(self.ranges)

    @property
    def unit_dicts(self) -> tuple[list[dict[str, float]], dict[str, float]] | None:
        """(units of each variable, units of the target) as mappings, or None."""
        if self.units is None or self.target_units is None:
            return None
        return [dict(unit) for unit in self.units], dict(self.target_units)


def _nguyen(index: int, truth: str, ranges, n_train: int) -> Problem:
    return Problem(f"nguyen-{index}", truth, tuple(ranges), n_train, family="nguyen")


NGUYEN = [
    _nguyen(1, "x0**3 + x0**2 + x0", [(-1, 1)], 20),
    _nguyen(2, "x0**4 + x0**3 + x0**2 + x0", [(-1, 1)], 20),
    _nguyen(3, "x0**5 + x0**4 + x0**3 + x0**2 + x0", [(-1, 1)], 20),
    _nguyen(4, "x0**6 + x0**5 + x0**4 + x0**3 + x0**2 + x0", [(-1, 1)], 20),
    _nguyen(5, "sin(x0**2)*cos(x0) - 1", [(-1, 1)], 20),
    _nguyen(6, "sin(x0) + sin(x0 + x0**2)", [(-1, 1)], 20),
    _nguyen(7, "log(x0 + 1) + log(x0**2 + 1)", [(0, 2)], 20),
    _nguyen(8, "sqrt(x0)", [(0, 4)], 20),
    _nguyen(9, "sin(x0) + sin(x1**2)", [(-1, 1), (-1, 1)], 100),
    _nguyen(10, "2*sin(x0)*cos(x1)", [(-1, 1), (-1, 1)], 100),
    _nguyen(11, "x0**x1", [(0, 1), (0, 1)], 100),
    _nguyen(12, "x0**4 - x0**3 + x1**2/2 - x1", [(-1, 1), (-1, 1)], 100),
]

_POS = (1.0, 5.0)
PHYSICS = [
    Problem("coulomb", "x0*x1/x2**2", (_POS, _POS, _POS), 100),  # F = q1 q2 / r^2
    Problem("kinetic-energy", "x0*x1**2/2", (_POS, _POS), 100),  # m v^2 / 2
    Problem("pendulum-period", "2*pi*sqrt(x0/x1)", (_POS, _POS), 100),  # 2 pi sqrt(L/g)
    Problem("ideal-gas", "x0*x1/x2", (_POS, _POS, _POS), 100),  # P = n R T / V, R = 1
    Problem("lorentz-factor", "1/sqrt(1 - x0**2)", ((0.0, 0.95),), 100),  # v in units of c
    Problem("relativistic-mass", "x0/sqrt(1 - x1**2/x2**2)", (_POS, (1.0, 2.0), (3.0, 10.0)), 100),
    Problem("planck", "x0**3/(exp(x0) - 1)", ((0.1, 5.0),), 100),  # spectral shape
    Problem("gaussian", "exp(-x0**2/2)/sqrt(2*pi)", ((-3.0, 3.0),), 100),
    Problem("centripetal-force", "x0*x1**2/x2", (_POS, _POS, _POS), 100),  # m v^2 / r
    Problem("lorentz-force", "x0*(x1 + x2*x3)", (_POS, _POS, _POS, _POS), 100),  # q (E + v B)
    Problem("malus-law", "x0*cos(x1)**2", (_POS, (0.0, 1.5)), 100),  # I0 cos^2(theta)
    Problem("boltzmann-factor", "exp(-x0/x1)", (_POS, _POS), 100),  # exp(-E / kT)
    Problem("potential-energy", "9.81*x0*x1", (_POS, _POS), 100),  # m g h, g to be fitted
]
PHYSICS = [replace(p, family="physics") for p in PHYSICS]


def _grid(index: int, truth: str, lo: float, hi: float, step: float) -> Problem:
    n_train = int(round((hi - lo) / step)) + 1
    return Problem(f"keijzer-{index}", truth, ((lo, hi),), n_train, family="keijzer",
                   grid_step=step)


def _keijzer(index: int, truth: str, ranges, n_train: int) -> Problem:
    return Problem(f"keijzer-{index}", truth, tuple(ranges), n_train, family="keijzer")


_K3 = (-3.0, 3.0)
KEIJZER = [
    _grid(1, "3*x0*sin(2*pi*x0)/10", -1, 1, 0.1),
    _grid(2, "3*x0*sin(2*pi*x0)/10", -2, 2, 0.1),
    _grid(3, "3*x0*sin(2*pi*x0)/10", -3, 3, 0.1),
    _grid(4, "x0**3*exp(-x0)*cos(x0)*sin(x0)*(sin(x0)**2*cos(x0) - 1)", 0, 10, 0.05),
    _keijzer(5, "30*x0*x2/((x0 - 10)*x1**2)", [(-1, 1), (1, 2), (-1, 1)], 1000),
    _grid(7, "log(x0)", 1, 100, 1),
    _grid(8, "sqrt(x0)", 0, 100, 1),
    _grid(9, "asinh(x0)", 0, 100, 1),  # log(x + sqrt(x**2 + 1))
    _keijzer(10, "x0**x1", [(0, 1), (0, 1)], 100),
    _keijzer(11, "x0*x1 + sin((x0 - 1)*(x1 - 1))", [_K3, _K3], 20),
    _keijzer(12, "x0**4 - x0**3 + x1**2/2 - x1", [_K3, _K3], 20),
    _keijzer(13, "6*sin(x0)*cos(x1)", [_K3, _K3], 20),
    _keijzer(14, "8/(2 + x0**2 + x1**2)", [_K3, _K3], 20),
    _keijzer(15, "x0**3/5 + x1**3/2 - x1 - x0", [_K3, _K3], 20),
]


def _livermore(index: int, truth: str, ranges, n_train: int = 20) -> Problem:
    return Problem(f"livermore-{index}", truth, tuple(ranges), n_train, family="livermore")


_L1 = [(-1, 1)]


def _powers_up_to(degree: int) -> str:
    return " + ".join(f"x0**{k}" if k > 1 else "x0" for k in range(degree, 0, -1))


LIVERMORE = [
    _livermore(1, "1/3 + x0 + sin(x0**2)", [(-10, 10)], 1000),
    _livermore(2, "sin(x0**2)*cos(x0) - 2", _L1),
    _livermore(3, "sin(x0**3)*cos(x0**2) - 1", _L1),
    _livermore(4, "log(x0 + 1) + log(x0**2 + 1) + log(x0)", [(0, 2)]),
    _livermore(5, "x0**4 - x0**3 + x0**2 - x1", [(0, 1), (0, 1)]),
    _livermore(6, "4*x0**4 + 3*x0**3 + 2*x0**2 + x0", _L1),
    _livermore(7, "sinh(x0)", _L1),
    _livermore(8, "cosh(x0)", _L1),
    _livermore(9, _powers_up_to(9), _L1),
    _livermore(10, "6*sin(x0)*cos(x1)", [(0, 1), (0, 1)]),
    _livermore(11, "x0**2*x1**2/(x0 + x1)", [(-1, 1), (-1, 1)], 50),
    _livermore(12, "x0**5/x1**3", [(-1, 1), (-1, 1)], 50),
    _livermore(13, "x0**(1/3)", [(0, 4)]),
    _livermore(14, "x0**3 + x0**2 + x0 + sin(x0) + sin(x0**2)", _L1),
    _livermore(15, "x0**(1/5)", [(0, 4)]),
    _livermore(16, "x0**(2/5)", [(0, 4)]),
    _livermore(17, "4*sin(x0)*cos(x1)", [(0, 1), (0, 1)]),
    _livermore(18, "sin(x0**2)*cos(x0) - 5", _L1),
    _livermore(19, "x0**5 + x0**4 + x0**2 + x0", _L1),
    _livermore(20, "exp(-x0**2)", _L1),
    _livermore(21, _powers_up_to(8), _L1),
    _livermore(22, "exp(-x0**2/2)", _L1),
]


def _frozen_units(units: dict[str, float]) -> tuple[tuple[str, float], ...]:
    return tuple(sorted(units.items()))


TEXTBOOK_PROBLEMS = [
    Problem(f"textbook-{name}", truth, tuple(ranges), 100, family="textbook",
            units=tuple(_frozen_units(unit) for unit in units),
            target_units=_frozen_units(target_units))
    for name, (truth, ranges, units, target_units) in TEXTBOOK.items()
]

# the report's groups: title: problem sets (the first group is the comparison's original 25)
REPORT_GROUPS = {"Nguyen and physics": ("nguyen", "physics"), "Keijzer": ("keijzer",),
                 "Livermore": ("livermore",), "Textbook physics": ("textbook",)}


def all_problems() -> list[Problem]:
    clean = NGUYEN + PHYSICS + KEIJZER + LIVERMORE
    noisy = [replace(p, name=p.name + suffix, noise=level)
             for level, suffix in NOISE_LEVELS.items() if level > 0 for p in clean]
    return clean + TEXTBOOK_PROBLEMS + noisy


# --noise: which noise levels to run
NOISE_CHOICES = {"all": (0.0, 0.01, 0.10), "both": (0.0, 0.01), "off": (0.0,),
                 "only": (0.01, 0.10), "1": (0.01,), "10": (0.10,)}


def select_problems(patterns: str | None, noise: str) -> list[Problem]:
    """Problems whose name matches one of the comma-separated patterns; a pattern that names a
    clean problem also selects its noisy twins. noise is a key of NOISE_CHOICES: "all" (every
    level), "both" (noise-free and 1%), "off" (noise-free), "only" (1% and 10%), "1" or "10"."""
    levels = NOISE_CHOICES[noise]
    problems = [p for p in all_problems() if p.noise in levels]
    if not patterns:
        return problems
    wanted = [w.strip() for w in patterns.split(",") if w.strip()]

    def matches(problem, pattern):
        return fnmatch.fnmatch(problem.name, pattern) or fnmatch.fnmatch(problem.base_name, pattern)

    unknown = [w for w in wanted if not any(matches(p, w) for p in all_problems())]
    if unknown:
        raise ValueError(f"unknown problem(s): {', '.join(unknown)} (see --list)")
    return [p for p in problems if any(matches(p, w) for w in wanted)]


def symbols_for(problem: Problem):
    """Symbols x0.. with the sign the sampling range guarantees, so that SymPy may simplify
    sqrt(x**2) to x where that holds on the problem's domain."""
    import sympy

    out = []
    for i, (lo, _) in enumerate(problem.ranges):
        if lo > 0:
            out.append(sympy.Symbol(f"x{i}", positive=True))
        elif lo == 0:
            out.append(sympy.Symbol(f"x{i}", nonnegative=True))
        else:
            out.append(sympy.Symbol(f"x{i}", real=True))
    return out


def truth_expr(problem: Problem):
    """(SymPy expression of the truth, its symbols x0..)."""
    import sympy

    syms = symbols_for(problem)
    return sympy.sympify(problem.truth, locals={s.name: s for s in syms}), syms


@dataclass
class Data:
    x_train: np.ndarray
    y_train: np.ndarray
    x_test: np.ndarray
    y_test: np.ndarray  # noise-free
    x_check: np.ndarray
    y_check: np.ndarray  # noise-free


def make_data(problem: Problem) -> Data:
    """Samples depend only on the problem's base name, so the clean and the noisy twin share
    their points and differ only in the noise added to the training targets."""
    import sympy

    expr, syms = truth_expr(problem)
    fn = sympy.lambdify(syms, expr, "numpy")
    seed = zlib.crc32(problem.base_name.encode())
    rng = np.random.default_rng(seed)

    def sample(n):
        cols = [rng.uniform(lo, hi, n) for lo, hi in problem.ranges]
        return np.ascontiguousarray(np.column_stack(cols), dtype=np.float64)

    def grid(step: float):
        (lo, _), = problem.ranges
        return lo + step * np.arange(problem.n_train, dtype=np.float64)[:, None]

    def evaluate(x):
        with np.errstate(all="ignore"):
            values = np.asarray(fn(*x.T), dtype=np.float64)
        return np.broadcast_to(values, (len(x),)).copy()

    x_train = grid(problem.grid_step) if problem.grid_step else sample(problem.n_train)
    x_test, x_check = sample(N_TEST), sample(N_CHECK)
    y_train = evaluate(x_train)
    if problem.noisy:
        # each level its own stream; the 1% stream is the one the committed runs were made with
        stream = list(NOISE_LEVELS).index(problem.noise)
        noise_rng = np.random.default_rng(seed + stream)
        scale = problem.noise * math.sqrt(float(np.mean(y_train**2)))
        y_train = y_train + noise_rng.normal(0.0, scale, len(y_train))
    return Data(x_train, y_train, x_test, evaluate(x_test), x_check, evaluate(x_check))
