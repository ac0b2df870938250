"""kov_sr's formulas as SymPy expressions, with their fitted constants.

A kov_sr result offers two texts. The formula text, such as Times(1, Plus(v_{0}, Pi)), shows the
structure unambiguously but keeps the names of constants that the search later fitted. The Python
rendering carries the fitted numbers (four decimals). Walking the structure of the formula text
and matching the rendering against the templates gives each constant its rendered value.
Earlier versions of kov_sr did not parenthesise the operands of the division, reciprocal and
negation templates (their renderings cannot be read back as Python on their own); those
renderings are still read, so that stored runs can be judged again.
"""

from __future__ import annotations

import re

# name: (arity, Python rendering template with {0}, {1} for the operand texts)
TEMPLATES = {
    "KOV": (2, "(np.exp({0}) - np.log({1}))"),
    "Neg": (1, "(-({0}))"),
    "Inv": (1, "(1/({0}))"),
    "Plus": (2, "({0})+({1})"),
    "Times": (2, "({0})*({1})"),
    "Subtract": (2, "({0})-({1})"),
    "Divide": (2, "(({0})/({1}))"),
    "Exp": (1, "np.exp({0})"),
    "Log": (1, "np.log({0})"),
    "Sqrt": (1, "np.sqrt({0})"),
    "Sin": (1, "np.sin({0})"),
    "Cos": (1, "np.cos({0})"),
    "Tan": (1, "np.tan({0})"),
    "ArcSin": (1, "np.arcsin({0})"),
    "ArcCos": (1, "np.arccos({0})"),
    "ArcTan": (1, "np.arctan({0})"),
}
# the templates that earlier versions rendered differently
EARLIER_TEMPLATES = {**TEMPLATES, "Neg": (1, "(-{0})"), "Inv": (1, "(1/{0})"),
                     "Divide": (2, "({0}/{1})")}
CONSTANTS = {"0": "0", "1": "1", "I": "1j", "Pi": "np.pi", "E": "np.e"}  # name: rendering
_FITTED = r"-?\d+\.\d{4}|NaN|-?inf"  # a constant replaced by its fitted value

_TOKEN = re.compile(r"\s*(v_\{\d+\}|[-+]?\d+(?:\.\d*)?(?:[eE][-+]?\d+)?|[A-Za-z]+|[(),])")


def _tokens(text: str) -> list[str]:
    out, at = [], 0
    text = text.strip()
    while at < len(text):
        match = _TOKEN.match(text, at)
        if match is None:
            raise ValueError(f"cannot read {text!r} at {at}")
        out.append(match.group(1))
        at = match.end()
    return out


def parse_formula(text: str):
    """The tree of a formula text: ("var", i), ("const", name), ("number", text) or
    (operator name, child, ...)."""
    tokens = _tokens(text)
    position = 0

    def take(expected=None):
        nonlocal position
        if position >= len(tokens) or (expected and tokens[position] != expected):
            raise ValueError(f"unexpected end or token in {text!r}")
        position += 1
        return tokens[position - 1]

    def node():
        token = take()
        if token.startswith("v_{"):
            return ("var", int(token[3:-1]))
        if token in CONSTANTS:
            return ("const", token)
        if token in TEMPLATES:
            arity = TEMPLATES[token][0]
            take("(")
            children = [node()]
            for _ in range(arity - 1):
                take(",")
                children.append(node())
            take(")")
            return (token, *children)
        if token[0].isdigit() or token[0] in "+-":
            return ("number", token)
        raise ValueError(f"unknown name {token!r} in {text!r}")

    tree = node()
    if position != len(tokens):
        raise ValueError(f"text after the formula in {text!r}")
    return tree


def _pattern(tree, templates) -> str:
    """A regular expression matching the Python rendering of tree, one group per constant."""
    kind = tree[0]
    if kind == "var":
        return re.escape(f"v_{{{tree[1]}}}")
    if kind == "const":
        return f"({re.escape(CONSTANTS[tree[1]])}|{_FITTED})"
    if kind == "number":
        return f"({_FITTED}|{re.escape(tree[1])})"
    template = templates[kind][1]
    pieces = re.split(r"(\{\d\})", template)
    return "".join(_pattern(tree[1 + int(p[1])], templates) if re.fullmatch(r"\{\d\}", p)
                   else re.escape(p) for p in pieces)


def _leaf_texts(formula: str, python: str):
    tree = parse_formula(formula)
    for templates in (TEMPLATES, EARLIER_TEMPLATES):
        match = re.fullmatch(_pattern(tree, templates), python)
        if match is not None:
            return tree, iter(match.groups())
    raise ValueError(f"the rendering {python!r} does not follow the formula {formula!r}")


def with_fitted_numbers(formula: str, python: str) -> str:
    """The formula text with each fitted constant's number in place of its name."""
    tree, values = _leaf_texts(formula, python)
    by_rendering = {rendering: name for name, rendering in CONSTANTS.items()}

    def text(node):
        kind = node[0]
        if kind == "var":
            return f"v_{{{node[1]}}}"
        if kind in ("const", "number"):
            value = next(values)
            return by_rendering.get(value, value)
        return f"{kind}({', '.join(text(child) for child in node[1:])})"

    return text(tree)


def to_sympy(formula: str, python: str, symbols):
    """SymPy expression of a kov_sr result; symbols[i] stands for input variable i."""
    import sympy as sp

    tree, values = _leaf_texts(formula, python)
    named = {"0": sp.S.Zero, "1": sp.S.One, "I": sp.I, "Pi": sp.pi, "E": sp.E}
    rendered = {rendering: named[name] for name, rendering in CONSTANTS.items()}
    heads = {
        "KOV": lambda a, b: sp.exp(a) - sp.log(b), "Neg": lambda a: -a, "Inv": lambda a: 1 / a,
        "Plus": lambda a, b: a + b, "Times": lambda a, b: a * b, "Subtract": lambda a, b: a - b,
        "Divide": lambda a, b: a / b, "Exp": sp.exp, "Log": sp.log, "Sqrt": sp.sqrt,
        "Sin": sp.sin, "Cos": sp.cos, "Tan": sp.tan, "ArcSin": sp.asin, "ArcCos": sp.acos,
        "ArcTan": sp.atan,
    }

    def build(node):
        kind = node[0]
        if kind == "var":
            return symbols[node[1]]
        if kind in ("const", "number"):
            text = next(values)  # groups come in the order of the leaves, as build visits them
            if text in rendered:
                return rendered[text]
            return sp.nan if text == "NaN" else sp.Float(float(text))
        return heads[kind](*(build(child) for child in node[1:]))

    return build(tree)
