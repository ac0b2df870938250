"""Hand a found formula to SymPy: simplify it, differentiate it, print it.

Run with:  python examples/sympy_example.py   (needs `pip install kov-sr[sympy]`)
"""

import math

import sympy

import kov_sr
from kov_sr.export import to_sympy

# verbose=False keeps the search's progress lines out of this example's output.
xs = [0.25 * k for k in range(1, 12)]
searcher = kov_sr.Searcher(max_complexity=4, verbose=False)
result = searcher.find_function(xs, [math.log(x * x) for x in xs])

t = sympy.Symbol("t", positive=True)
expression = to_sympy(result, feature_names=[t])
print("found:     ", result.formula)
print("SymPy:     ", expression)
print("simplified:", sympy.simplify(expression))
print("d/dt:      ", sympy.diff(expression, t))
print("LaTeX:     ", sympy.latex(expression))
