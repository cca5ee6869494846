"""Vectors, id lists and hit lists between Python and the library.

With numpy installed, vectors come and go as numpy.float32 arrays: a
C-contiguous float32 array is handed to the library by address, without a
copy, and results are written straight into new arrays. Other inputs (lists,
tuples, other dtypes) are converted once. Without numpy, vectors are lists
of floats, passed through array.array.
"""

import array
import struct

from ._structs import VecResult
from .errors import invalid

try:
    import numpy as np
except ImportError:  # numpy is optional
    np = None

MAX_COUNT = 0xFFFFFFFF
MAX_ID = 0xFFFFFFFFFFFFFFFF


def _array_address(a):
    return a.buffer_info()[0]


def float_vector(vector, dimension, what="vector"):
    """(address, keepalive) of exactly dimension float32 values."""
    if np is not None and isinstance(vector, np.ndarray):
        if not (vector.dtype == np.float32 and vector.flags.c_contiguous):
            vector = np.ascontiguousarray(vector, dtype=np.float32)
        if vector.ndim != 1 or vector.shape[0] != dimension:
            raise invalid("%s must have shape (%d,), not %s" % (what, dimension, vector.shape))
        return vector.ctypes.data, vector
    if isinstance(vector, (str, bytes, bytearray)):
        raise TypeError("%s must be a sequence of numbers, not %s" % (what, type(vector).__name__))
    if not (isinstance(vector, array.array) and vector.typecode == "f"):
        try:
            vector = array.array("f", vector)
        except TypeError:
            raise TypeError("%s must be a sequence of numbers" % what) from None
    if len(vector) != dimension:
        raise invalid("%s must have %d values, not %d" % (what, dimension, len(vector)))
    return _array_address(vector), vector


def float_matrix(matrix, dimension, what="vectors"):
    """(address, rows, keepalive) of a rows x dimension float32 matrix."""
    if np is not None and not isinstance(matrix, array.array):
        if not (isinstance(matrix, np.ndarray) and matrix.dtype == np.float32 and matrix.flags.c_contiguous):
            try:
                matrix = np.ascontiguousarray(matrix, dtype=np.float32)
            except (TypeError, ValueError):
                raise TypeError("%s must be a 2-D array or a list of equal-length vectors" % what) from None
        if matrix.ndim != 2 or matrix.shape[1] != dimension:
            raise invalid("%s must have shape (n, %d), not %s" % (what, dimension, matrix.shape))
        return matrix.ctypes.data, matrix.shape[0], matrix
    flat = array.array("f")
    rows = 0
    for row in matrix:
        _, values = float_vector(row, dimension, "each of the %s" % what)
        flat.extend(values)
        rows += 1
    return _array_address(flat), rows, flat


def id_array(ids, count=None):
    """(address, count, keepalive) of unsigned 64-bit ids."""
    if np is not None and isinstance(ids, np.ndarray):
        if ids.ndim != 1 or ids.dtype.kind not in "ui":
            raise TypeError("ids must be a 1-D array of integers")
        if ids.dtype.kind == "i" and ids.size and ids.min() < 0:
            raise invalid("ids must not be negative")
        ids = np.ascontiguousarray(ids, dtype=np.uint64)
        n = ids.shape[0]
        address = ids.ctypes.data
    else:
        try:
            ids = array.array("Q", ids)
        except OverflowError:
            raise invalid("ids must lie in 0 .. 2**64 - 1") from None
        except TypeError:
            raise TypeError("ids must be integers") from None
        n = len(ids)
        address = _array_address(ids)
    if count is not None and n != count:
        raise invalid("%d ids for %d vectors" % (n, count))
    return address, n, ids


def check_id(value):
    if isinstance(value, bool) or not hasattr(value, "__index__"):
        raise TypeError("ids are integers, not %s" % type(value).__name__)
    value = value.__index__()
    if not 0 <= value <= MAX_ID:
        raise invalid("ids lie in 0 .. 2**64 - 1, not %d" % value)
    return value


def check_count(k, what="k", low=1, high=0x7FFFFFFF):
    if isinstance(k, bool) or not hasattr(k, "__index__"):
        raise TypeError("%s must be an int" % what)
    k = k.__index__()
    if not low <= k <= high:
        raise invalid("%s must lie in %d .. %d, not %d" % (what, low, high, k))
    return k


def result_buffer(k):
    return (VecResult * k)()


_HIT = struct.Struct("<Qf4x")  # vec_result: u64 id, float distance, padding


def hits(buffer, n):
    """(id, distance) tuples of the first n hits, nearest first."""
    return list(_HIT.iter_unpack(memoryview(buffer).cast("B")[:n * _HIT.size]))


def new_vector(dimension):
    """(address, result) of a zeroed output vector of dimension floats."""
    if np is not None:
        out = np.zeros(dimension, dtype=np.float32)
        return out.ctypes.data, out
    out = array.array("f", bytes(4 * dimension))
    return _array_address(out), out


def new_matrix(rows, dimension):
    if np is not None:
        out = np.zeros((rows, dimension), dtype=np.float32)
        return out.ctypes.data, out
    out = array.array("f", bytes(4 * rows * dimension))
    return _array_address(out), out


def finish_vector(out):
    """What callers receive: the numpy array, or a list of floats."""
    return out if np is not None else out.tolist()


def finish_matrix(out, rows, dimension):
    if np is not None:
        return out
    values = out.tolist()
    return [values[i * dimension:(i + 1) * dimension] for i in range(rows)]
