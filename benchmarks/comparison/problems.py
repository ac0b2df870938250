"""The ground-truth problems and their sampled data.

Nguyen-1..12 with the sampling of Uy et al. (2011) (U[a, b, n]: n points drawn uniformly from
[a, b]) and well-known physics formulas of one to four variables. Every problem also has a twin
with 1% Gaussian noise on the training targets, named with the suffix "+noise".
"""

from __future__ import annotations

import fnmatch
import math
import zlib
from dataclasses import dataclass

import numpy as np

NOISE_LEVEL = 0.01  # standard deviation of the noise, relative to the RMS of the targets
NOISE_SUFFIX = "+noise"
N_TEST = 200
N_CHECK = 1000


@dataclass(frozen=True)
class Problem:
    name: str
    truth: str  # SymPy syntax over x0, x1, ...
    ranges: tuple[tuple[float, float], ...]  # uniform sampling range of each variable
    n_train: int
    noisy: bool = False

    @property
    def base_name(self) -> str:
        return self.name.removesuffix(NOISE_SUFFIX)

    @property
    def n_vars(self) -> int:
        return len(self.ranges)


def _nguyen(index: int, truth: str, ranges, n_train: int) -> Problem:
    return Problem(f"nguyen-{index}", truth, tuple(ranges), n_train)


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


def all_problems() -> list[Problem]:
    clean = NGUYEN + PHYSICS
    noisy = [Problem(p.name + NOISE_SUFFIX, p.truth, p.ranges, p.n_train, True) for p in clean]
    return clean + noisy


def select_problems(patterns: str | None, noise: str) -> list[Problem]:
    """Problems whose name matches one of the comma-separated patterns; a pattern that names a
    clean problem also selects its noisy twin. noise is "both", "off" or "only"."""
    problems = all_problems()
    if noise == "off":
        problems = [p for p in problems if not p.noisy]
    elif noise == "only":
        problems = [p for p in problems if p.noisy]
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

    def evaluate(x):
        with np.errstate(all="ignore"):
            values = np.asarray(fn(*x.T), dtype=np.float64)
        return np.broadcast_to(values, (len(x),)).copy()

    x_train, x_test, x_check = sample(problem.n_train), sample(N_TEST), sample(N_CHECK)
    y_train = evaluate(x_train)
    if problem.noisy:
        noise_rng = np.random.default_rng(seed + 1)
        scale = NOISE_LEVEL * math.sqrt(float(np.mean(y_train**2)))
        y_train = y_train + noise_rng.normal(0.0, scale, len(y_train))
    return Data(x_train, y_train, x_test, evaluate(x_test), x_check, evaluate(x_check))
