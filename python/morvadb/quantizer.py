"""Scalar and product quantizers: float vectors to byte codes and back."""

import ctypes
import threading

from . import _library
from ._owner import Owned, Owner
from ._structs import QuantConfig
from ._vectors import MAX_COUNT, check_count, finish_vector, float_matrix, float_vector, new_vector
from .errors import NOMEM, error_for, invalid

_TYPES = {"scalar": 1, "product": 2}
# The value morvadb_quant_distance returns when it cannot measure.
_DISTANCE_INVALID = 3.4028234663852886e38


def _destroy(address):
    _library.load().morvadb_quant_destroy(address)


class Quantizer(Owned):
    """Compresses vectors of ``dimension`` floats into byte codes.

    ``Quantizer("scalar", dimension)`` keeps one byte per dimension between
    that dimension's trained minimum and maximum.
    ``Quantizer("product", dimension, subquantizers=m)`` cuts a vector into
    m sub-vectors and keeps, for each, the index of the nearest of 256
    centroids learned by k-means, so a code is m bytes (dimensions beyond
    m x (dimension // m) take no part). Train before encoding.
    """

    def __init__(self, kind, dimension, subquantizers=None):
        if kind not in _TYPES:
            raise invalid("kind is 'scalar' or 'product', not %r" % (kind,))
        self._kind = kind
        self._dimension = check_count(dimension, "dimension", 1)
        if kind == "product":
            if subquantizers is None:
                raise TypeError("a product quantizer needs subquantizers=m")
            m = check_count(subquantizers, "subquantizers", 1, self._dimension)
        else:
            if subquantizers is not None:
                raise TypeError("subquantizers is for product quantizers")
            m = 0
        self._subquantizers = m
        config = QuantConfig(_TYPES[kind], self._dimension, m)
        out = ctypes.c_void_p()
        if _library.load().morvadb_quant_create(ctypes.addressof(config), ctypes.byref(out)) != 0:
            raise error_for(NOMEM, "cannot create the quantizer")
        self._owner = Owner(out.value, _destroy, "quantizer")
        self._code_size = _library.load().morvadb_quant_code_size(out.value)
        self._trained = False
        # The library's quantizer has no lock of its own, and training
        # rewrites what encode, decode and distance read.
        self._guard = threading.Lock()

    @property
    def kind(self):
        return self._kind

    @property
    def dimension(self):
        return self._dimension

    @property
    def code_size(self):
        """Bytes per code."""
        return self._code_size

    @property
    def trained(self):
        return self._trained


    def __repr__(self):
        state = "closed" if self.closed else ("trained" if self._trained else "untrained")
        return "<morvadb.Quantizer %s dimension=%d code_size=%d %s>" % (self._kind, self._dimension,
                                                                        self._code_size, state)

    def train(self, vectors):
        """Learns the quantizer's parameters from an n x dimension matrix
        (replacing earlier ones)."""
        address, n, keep = float_matrix(vectors, self._dimension)
        if n == 0:
            raise invalid("training needs at least one vector")
        if n > MAX_COUNT:
            raise invalid("at most %d training vectors" % MAX_COUNT)
        with self._owner as q, self._guard:
            if _library.load().morvadb_quant_train(q, address, n) != 0:
                raise error_for(NOMEM, "training failed")
        self._trained = True

    def _need_training(self):
        if not self._trained:
            raise invalid("train the quantizer first")

    def _code(self, code, what="code"):
        if not isinstance(code, (bytes, bytearray, memoryview)):
            raise TypeError("a %s is bytes, not %s" % (what, type(code).__name__))
        code = bytes(code)
        # The library reads code_size bytes whatever length it is told.
        if len(code) != self._code_size:
            raise invalid("a %s has %d bytes, not %d" % (what, self._code_size, len(code)))
        return code

    def encode(self, vector):
        """The code of a vector, as bytes."""
        self._need_training()
        address, keep = float_vector(vector, self._dimension)
        out = ctypes.create_string_buffer(self._code_size)
        with self._owner as q, self._guard:
            if _library.load().morvadb_quant_encode(q, address, ctypes.addressof(out), None) != 0:
                raise invalid("cannot encode the vector")
        return out.raw

    def decode(self, code):
        """The vector a code stands for (dimensions outside every product
        sub-vector come back as 0)."""
        self._need_training()
        code = self._code(code)
        address, out = new_vector(self._dimension)
        with self._owner as q, self._guard:
            if _library.load().morvadb_quant_decode(q, code, len(code), address) != 0:
                raise invalid("cannot decode the code")
        return finish_vector(out)

    def distance(self, code_a, code_b):
        """Squared Euclidean distance between the vectors two codes stand for."""
        self._need_training()
        a = self._code(code_a, "first code")
        b = self._code(code_b, "second code")
        with self._owner as q, self._guard:
            d = _library.load().morvadb_quant_distance(q, a, len(a), b, len(b))
        if d >= _DISTANCE_INVALID:
            raise invalid("cannot measure the distance")
        return d
