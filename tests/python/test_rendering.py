"""The Python and LaTeX renderings state the function the formula computes, whatever its nesting."""

import numpy as np
import pytest

from kov_sr import _core

CONST, REAL, VAR, OP = 0, 1, 2, 4
IDS = {"1": 1, "Pi": 3, "KOV": 5, "Neg": 6, "Inv": 7, "Plus": 8, "Times": 9, "Subtract": 10,
       "Divide": 11, "Exp": 12}
VALUES = {"1": 1.0, "Pi": np.pi}


def parse(text):
    """Postfix tokens of a formula written as Name(a, b) with leaves v0, v1, 1, Pi or numbers."""
    text = text.replace(" ", "")

    def expression(position):
        name_end = position
        while name_end < len(text) and text[name_end] not in "(,)":
            name_end += 1
        name = text[position:name_end]
        if name_end < len(text) and text[name_end] == "(":
            tokens, position = [], name_end + 1
            while True:
                operand, position = expression(position)
                tokens += operand
                position += 1
                if text[position - 1] == ")":
                    break
            arity = 2 if name in ("KOV", "Plus", "Times", "Subtract", "Divide") else 1
            return tokens + [(OP, arity, 0, IDS[name], 0.0, 0.0)], position
        if name.startswith("v"):
            return [(VAR, 0, int(name[1:]), 0, 0.0, 0.0)], name_end
        if name in VALUES:
            return [(CONST, 0, 0, IDS[name], VALUES[name], 0.0)], name_end
        return [(REAL, 0, 0, 0, float(name), 0.0)], name_end

    tokens, _ = expression(0)
    var_count = max((token[2] + 1 for token in tokens if token[0] == VAR), default=0)
    return _core._rebuild_result((1, tuple(tokens), text, len(tokens), var_count, 0.0))


NESTED = [
    "Divide(Plus(v0, 1), v0)",
    "Divide(Times(Times(v0, v1), v1), Plus(1, 1))",
    "Inv(Plus(v0, v1))",
    "Neg(Subtract(v0, v1))",
    "Neg(Plus(v0, -2.5))",
    "Times(Subtract(v0, 1), Plus(v1, Pi))",
    "Subtract(v0, Subtract(v1, 1))",
    "Subtract(v0, KOV(v1, v0))",
    "Divide(Neg(v0), Inv(Subtract(v1, v0)))",
]


@pytest.mark.parametrize("text", NESTED)
def test_python_rendering_computes_the_formula(text):
    result = parse(text)
    points = np.array([[0.7, 1.9], [2.5, 0.3], [1.25, 3.0]])
    source = result.to_python().replace("v_{0}", "v0").replace("v_{1}", "v1")
    rendered = [eval(source, {"np": np, "v0": v0, "v1": v1}) for v0, v1 in points]
    assert rendered == pytest.approx(result.eval_batch(points), rel=1e-12)


@pytest.mark.parametrize(
    ("text", "latex"),
    [
        ("Times(Plus(v0, v1), Pi)", r"\left(v_{0} + v_{1}\right) \cdot \pi"),
        ("Times(v0, Subtract(v1, 1))", r"v_{0} \cdot \left(v_{1} - 1\right)"),
        ("Subtract(v0, Plus(v1, 1))", r"v_{0} - \left(v_{1} + 1\right)"),
        ("Subtract(Plus(v1, 1), v0)", r"v_{1} + 1 - v_{0}"),
        ("Neg(Subtract(v0, v1))", r"(-\left(v_{0} - v_{1}\right))"),
        ("Times(KOV(v0, v1), v1)", r"\left(e^{v_{0}} - \ln(v_{1})\right) \cdot v_{1}"),
        ("Plus(Plus(v0, v1), Times(v0, v1))", r"v_{0} + v_{1} + v_{0} \cdot v_{1}"),
        ("Divide(Plus(v0, 1), Subtract(v1, 1))", r"\frac{v_{0} + 1}{v_{1} - 1}"),
        ("Exp(Plus(v0, 1))", r"e^{v_{0} + 1}"),
    ],
)
def test_latex_groups_sums_only_where_they_would_bind_differently(text, latex):
    assert parse(text).to_latex() == latex
