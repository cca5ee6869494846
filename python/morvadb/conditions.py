"""Query conditions: ``where(column, op, value)`` combined with ``&``, ``|`` and ``~``.

A Condition is a plain Python tree; Database.query checks it against the
queried table and turns it into the library's condition tree only for the
duration of the query, so no library object outlives a call.
"""

import math
import struct
from numbers import Integral, Real

from . import _library
from ._rows import BLOB, BOOL, DOUBLE, FLOAT, INT32, INT64, STRING, type_name
from .errors import NOMEM, error_for, invalid

_LEAF, _AND, _OR, _NOT = range(4)

OPERATORS = ("=", "!=", "<", ">", "<=", ">=")
_ALIASES = {"==": "="}

# The library keeps 255 bytes of a literal and compares it as a C string.
MAX_LITERAL_BYTES = 255
_F32 = struct.Struct("<f")


class Condition:
    """A condition on the rows of a table. Combine with ``&`` (and), ``|``
    (or) and ``~`` (not); Python's ``and``/``or``/``not`` do not combine
    conditions and raise TypeError."""

    __slots__ = ("_kind", "_column", "_op", "_value", "_left", "_right")

    def __init__(self, kind, column=None, op=None, value=None, left=None, right=None):
        self._kind = kind
        self._column = column
        self._op = op
        self._value = value
        self._left = left
        self._right = right

    def __and__(self, other):
        return Condition(_AND, left=self, right=_condition(other))

    def __or__(self, other):
        return Condition(_OR, left=self, right=_condition(other))

    def __invert__(self):
        return Condition(_NOT, left=self)

    def __bool__(self):
        raise TypeError("combine conditions with &, | and ~, not with and, or and not")

    def __repr__(self):
        # Iterative, like everything else here: trees may be very deep.
        out, stack = [], [self]
        while stack:
            node = stack.pop()
            if isinstance(node, str):
                out.append(node)
            elif node._kind == _LEAF:
                out.append("where(%r, %r, %r)" % (node._column, node._op, node._value))
            elif node._kind == _NOT:
                stack.extend([")", node._left, "~("])
            else:
                stack.extend([")", node._right, " & " if node._kind == _AND else " | ", node._left, "("])
        return "".join(out)


def _condition(other):
    if not isinstance(other, Condition):
        raise TypeError("conditions combine with conditions, not %s" % type(other).__name__)
    return other


def where(column, op, value):
    """A comparison of a column with a value: op is one of ``=`` (or ``==``),
    ``!=``, ``<``, ``>``, ``<=``, ``>=``.

    The value must suit the column's type: an int for integer columns, a
    number for float and double columns, a str for string columns, a bool
    for bool columns. Blob columns cannot be compared. Float columns compare
    in single precision, so ``where("price", ">=", 4.2)`` matches a stored 4.2.
    """
    if not isinstance(column, str):
        raise TypeError("column must be a str, not %s" % type(column).__name__)
    op = _ALIASES.get(op, op)
    if op not in OPERATORS:
        raise invalid("unknown operator %r (use one of %s)" % (op, " ".join(OPERATORS)))
    return Condition(_LEAF, column, op, value)


def literal(code, value, column):
    """The literal text the library compares a column of type code with."""
    if code in (INT32, INT64):
        if isinstance(value, bool) or not isinstance(value, Integral):
            raise TypeError("column %s compares with int values, not %r" % (column, value))
        value = int(value)
        if not -(1 << 63) <= value < (1 << 63):
            raise invalid("%d is outside the range of column %s" % (value, column))
        return b"%d" % value
    if code in (FLOAT, DOUBLE):
        if isinstance(value, bool) or not isinstance(value, Real):
            raise TypeError("column %s compares with numbers, not %r" % (column, value))
        value = float(value)
        if math.isnan(value):
            raise invalid("NaN is not comparable (column %s)" % column)
        if code == FLOAT and math.isfinite(value):
            # The stored single-precision value is compared widened to double:
            # round the literal the same way so 4.2 finds a stored 4.2.
            try:
                value = _F32.unpack(_F32.pack(value))[0]
            except OverflowError:
                pass  # beyond every float: compares correctly as it is
        return repr(value).encode("ascii")
    if code == BOOL:
        if value is True or value is False or getattr(getattr(value, "dtype", None), "kind", None) == "b":
            return b"true" if value else b"false"
        raise TypeError("column %s compares with bool values, not %r" % (column, value))
    if code == STRING:
        if not isinstance(value, str):
            raise TypeError("column %s compares with str values, not %r" % (column, value))
        data = value.encode("utf-8", "surrogateescape")
        if b"\0" in data or len(data) > MAX_LITERAL_BYTES:
            raise invalid("string literals have at most %d bytes and no NUL (column %s)" % (MAX_LITERAL_BYTES, column))
        return data
    if code == BLOB:
        raise invalid("blob columns cannot be compared (column %s)" % column)
    raise invalid("column %s has type %s, which cannot be compared" % (column, type_name(code)))


def build(cond, table, extra=None):
    """The library's condition tree for cond on table, ANDed with the
    optional library tree extra (which it then owns). The caller owns the
    result. Nothing leaks when a leaf is refused or memory runs out."""
    lib = _library.load()
    built = []  # finished subtrees, in post order
    try:
        if cond is not None:
            stack = [(cond, False)]
            while stack:
                node, expanded = stack.pop()
                if node._kind == _LEAF:
                    index = table.column(node._column)
                    code = table.types[index]
                    built.append(_leaf(lib, node._column.encode("utf-8"), node._op.encode("ascii"),
                                       literal(code, node._value, node._column), code))
                elif not expanded:
                    stack.append((node, True))
                    if node._right is not None:
                        stack.append((node._right, False))
                    stack.append((node._left, False))
                elif node._kind == _NOT:
                    child = built.pop()
                    built.append(_joined(lib, lib.qb_cond_not(None, child), child))
                else:
                    right = built.pop()
                    left = built.pop()
                    combine = lib.qb_cond_and if node._kind == _AND else lib.qb_cond_or
                    built.append(_joined(lib, combine(None, left, right), left, right))
        if extra is not None:
            tree, extra = extra, None
            if built:
                mine = built.pop()
                built.append(_joined(lib, lib.qb_cond_and(None, tree, mine), tree, mine))
            else:
                built.append(tree)
        return built.pop() if built else None
    except BaseException:
        for tree in built:
            lib.condition_destroy(tree)
        if extra is not None:
            lib.condition_destroy(extra)
        raise


def _leaf(lib, column, op, text, code):
    leaf = _made(lib.qb_cond(None, column, op, text))
    if code not in (FLOAT, DOUBLE) or op in (b"<", b">"):
        return leaf
    # The library compares a stored NaN as equal to every literal: it would
    # pass =, >= and <= and fail !=. A value equal to both 0 and 1 can only
    # be a NaN, which these leaves then treat as IEEE comparisons do.
    try:
        nan = _is_nan(lib, column)
    except BaseException:
        lib.condition_destroy(leaf)
        raise
    if op == b"!=":
        return _joined(lib, lib.qb_cond_or(None, leaf, nan), leaf, nan)
    not_nan = _joined(lib, lib.qb_cond_not(None, nan), nan, leaf)  # a failure frees leaf too
    return _joined(lib, lib.qb_cond_and(None, leaf, not_nan), leaf, not_nan)


def _is_nan(lib, column):
    zero = _made(lib.qb_cond(None, column, b"=", b"0"))
    try:
        one = _made(lib.qb_cond(None, column, b"=", b"1"))
    except BaseException:
        lib.condition_destroy(zero)
        raise
    return _joined(lib, lib.qb_cond_and(None, zero, one), zero, one)


def _made(address):
    if not address:
        raise error_for(NOMEM, "condition")
    return address


def _joined(lib, address, *children):
    # A failed combination leaves the children with the caller.
    if not address:
        for child in children:
            lib.condition_destroy(child)
        raise error_for(NOMEM, "condition")
    return address
