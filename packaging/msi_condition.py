"""Windows Installer's conditional statement syntax, evaluated for a set of
properties, so that a check can ask which steps of a package run in a case
instead of restating their conditions.

    evaluate('NOT Installed OR REINSTALL', {"REINSTALL": "ALL"}) -> True

Properties are strings; one not given is empty, and a bare property is
true when it is not empty. Comparisons follow the documentation: integers
compare as numbers, anything else as text; a ~ before an operator compares
text without regard to case; ><, << and >> are contains, starts with and
ends with. NOT binds tightest, then AND, OR, XOR, EQV, IMP.
"""
import re

TOKEN = re.compile(r'\s*(?:(?P<string>"[^"]*")|(?P<number>-?\d+)|(?P<op>~?(?:><|<<|>>|<>|<=|>=|=|<|>))'
                   r'|(?P<paren>[()])|(?P<word>[%$?&!]?[A-Za-z_][A-Za-z0-9_.]*))')
LOGICAL = ("IMP", "EQV", "XOR", "OR", "AND")


def tokens(text):
    at, found = 0, []
    while at < len(text.rstrip()):
        m = TOKEN.match(text, at)
        if not m:
            raise ValueError("cannot read condition %r at %d" % (text, at))
        kind = m.lastgroup
        found.append((kind, m.group(kind)))
        at = m.end()
    return found


def evaluate(condition, props):
    """True when the condition holds; an empty condition always does."""
    if not condition.strip():
        return True
    items = tokens(condition)
    at = [0]

    def peek():
        return items[at[0]] if at[0] < len(items) else (None, None)

    def take():
        at[0] += 1
        return items[at[0] - 1]

    def value():
        kind, text = take()
        if kind == "string":
            return text[1:-1]
        if kind == "number":
            return int(text)
        if kind == "word":
            return props.get(text, "")
        raise ValueError("unexpected %r in %r" % (text, condition))

    def compare(left, op, right):
        fold = op.startswith("~")
        op = op.lstrip("~")
        if isinstance(left, int) and isinstance(right, int):
            a, b = left, right
        elif op in ("=", "<>") and (isinstance(left, int) or isinstance(right, int)):
            return op == "<>"  # a number and a text are never equal
        else:
            a, b = str(left), str(right)
            if fold:
                a, b = a.lower(), b.lower()
        return {"=": a == b, "<>": a != b, "<": a < b, ">": a > b, "<=": a <= b, ">=": a >= b,
                "><": str(b) in str(a), "<<": str(a).startswith(str(b)),
                ">>": str(a).endswith(str(b))}[op]

    def term():
        kind, text = peek()
        if kind == "word" and text.upper() == "NOT":
            take()
            return not term()
        if kind == "paren" and text == "(":
            take()
            result = expression(0)
            if take() != ("paren", ")"):
                raise ValueError("unbalanced %r" % condition)
            return result
        left = value()
        kind, op = peek()
        if kind == "op":
            take()
            return compare(left, op, value())
        return isinstance(left, int) and left != 0 or isinstance(left, str) and left != ""

    def expression(level):
        if level == len(LOGICAL):
            return term()
        result = expression(level + 1)
        while peek()[0] == "word" and peek()[1].upper() == LOGICAL[level]:
            take()
            other = expression(level + 1)
            result = {"IMP": (not result) or other, "EQV": result == other,
                      "XOR": result != other, "OR": result or other,
                      "AND": result and other}[LOGICAL[level]]
        return result

    result = expression(0)
    if at[0] != len(items):
        raise ValueError("cannot read condition %r" % condition)
    return result
