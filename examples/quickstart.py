"""A first tour of kov_sr: fit a formula, list the candidates, recognise constants, handle errors.

Run with:  python examples/quickstart.py
"""

import math

import numpy as np

import kov_sr

# A Searcher holds the search settings: the largest formula size (in tokens), the weight of size
# when ranking formulas, and how many formulas of each size are kept to build larger ones.
searcher = kov_sr.Searcher(max_complexity=5, complexity_penalty=0.1, beam_width=1000)

# 1. Find y = f(x) from samples (lists or NumPy arrays). The search prints a line per level.
xs = np.linspace(0.5, 3.0, 8)
ys = np.sqrt(xs) * np.e
result = searcher.find_function(xs, ys)
print()
print("formula:   ", result.formula)
print("error:     ", result.error)
print("complexity:", result.complexity)
print("LaTeX:     ", result.to_latex())
print("Python:    ", result.to_python())
print("f(2.0) =", result.eval(2.0), " batch:", result.predict([[1.0], [4.0]]))

# 2. The Pareto front: for each size, the best formula that beats every smaller one. The thorough
#    strategy fits constants by least squares and names simple ones: the line comes back exactly.
rows = [[x] for x in xs]
thorough = kov_sr.Searcher(max_complexity=5, strategy="thorough", time_limit=10)
candidates = thorough.find_candidates(rows, 2.5 * xs + 1.3)
print()
print(f"{'complexity':>10}  {'error':>12}  formula")
for candidate in candidates:
    print(f"{candidate.complexity:>10}  {candidate.error:>12.6g}  {candidate.formula}")

# 3. Closed forms for numbers.
print()
for value in (math.pi ** 2, math.sqrt(2), math.exp(-math.pi)):
    found = searcher.recognize_constant(value)
    print(f"{value!r:>22} = {found.formula}  (error {found.error:.1e})")

# 4. The errors a caller can meet.
print()
attempts = {
    "lengths differ": lambda: searcher.find_function([1.0, 2.0, 3.0], [1.0, 2.0]),
    "not numbers": lambda: searcher.find_function(["a", "b"], [1.0, 2.0]),
    "a NaN in the data": lambda: searcher.find_function([1.0, 2.0], [1.0, float("nan")]),
    "nothing fits": lambda: kov_sr.Searcher(max_complexity=2).find_function([1.0], [1e200]),
}
for what, attempt in attempts.items():
    try:
        attempt()
    except (kov_sr.KovDimensionError, kov_sr.KovComplexityError, ValueError, TypeError) as error:
        print(f"{what:>18}: {type(error).__name__}: {error}")
