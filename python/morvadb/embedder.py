"""The library's model-free text embedder."""

import ctypes

from . import _library
from ._owner import Owned, Owner
from ._vector_index import text_bytes
from ._vectors import MAX_COUNT, check_count, finish_matrix, finish_vector, new_matrix, new_vector
from .errors import NOMEM, error_for, invalid


def _destroy(address):
    _library.load().morvadb_embed_destroy(address)


class Embedder(Owned):
    """Turns UTF-8 text into a unit-length float vector without a trained model.

    The text is segmented with the library's built-in word dictionary and
    its character n-grams (``ngram`` characters, 0 means 3) are hashed into
    fixed pseudo-random vectors, so texts sharing words and character
    sequences get similar vectors. The same dimension and ngram give the
    same vector on every machine. The embedder's table takes
    1 KiB x dimension^2 of memory (151 MB at 384).
    """

    def __init__(self, dimension=384, ngram=0):
        self._dimension = check_count(dimension, "dimension", 1, 1 << 20)
        self._ngram = check_count(ngram, "ngram", 0)
        out = ctypes.c_void_p()
        if _library.load().morvadb_embed_create(self._dimension, self._ngram, ctypes.byref(out)) != 0:
            raise error_for(NOMEM, "cannot create an embedder of dimension %d" % self._dimension)
        self._owner = Owner(out.value, _destroy, "embedder")

    @property
    def dimension(self):
        return self._dimension

    @property
    def ngram(self):
        return self._ngram or 3


    def __repr__(self):
        return "<morvadb.Embedder dimension=%d ngram=%d%s>" % (self._dimension, self.ngram,
                                                               " closed" if self.closed else "")

    def embed(self, text):
        """The vector of one text (str or UTF-8 bytes); all zeros for an empty text."""
        data = text_bytes(text)
        address, out = new_vector(self._dimension)
        with self._owner as e:
            if _library.load().morvadb_embed_text(e, data, len(data), address) != 0:
                raise invalid("cannot embed the text")
        return finish_vector(out)

    def embed_batch(self, texts):
        """The vectors of several texts, one row each (a numpy array of shape
        (n, dimension) when numpy is installed)."""
        data = [text_bytes(t) for t in texts]
        n = len(data)
        if n > MAX_COUNT:
            raise invalid("at most %d texts per batch" % MAX_COUNT)
        address, out = new_matrix(n, self._dimension)
        if n:
            pointers = (ctypes.c_char_p * n)(*data)
            lengths = (ctypes.c_uint64 * n)(*[len(d) for d in data])
            with self._owner as e:
                if _library.load().morvadb_embed_batch(e, ctypes.addressof(pointers), ctypes.addressof(lengths), n,
                                                        address) != 0:
                    raise invalid("cannot embed the texts")
        return finish_matrix(out, n, self._dimension)
