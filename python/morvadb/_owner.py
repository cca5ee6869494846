"""Ownership of one library object by one Python object.

The C library requires that an object is not used during or after its
release. An Owner hands the object's address to each call in progress
(``with owner as address:``), refuses new calls once closing has begun, waits
for calls in progress to finish, and then releases the object exactly once,
whether close() is called, a with block ends, or the garbage collector
finalizes the Python object.
"""

import threading

from .errors import invalid


class Owner:
    __slots__ = ("_address", "_release", "_what", "_lock", "_idle", "_users")

    def __init__(self, address, release, what):
        self._address = address
        self._release = release
        self._what = what
        self._lock = threading.Lock()
        self._idle = threading.Condition(self._lock)
        self._users = 0

    @property
    def closed(self):
        return self._address is None

    def __enter__(self):
        with self._lock:
            address = self._address
            if address is None:
                raise invalid("%s is closed" % self._what)
            self._users += 1
            return address

    def __exit__(self, *exc):
        with self._lock:
            self._users -= 1
            if self._users == 0 and self._address is None:
                self._idle.notify_all()  # close() is waiting
        return False

    def close(self):
        """Releases the object once; later calls (and uses) find it closed.
        Returns the release function's result, or None when already closed."""
        with self._lock:
            address = self._address
            if address is None:
                return None
            self._address = None
            while self._users:
                self._idle.wait()
        return self._release(address)

    def finalize(self):
        """close() for __del__: never raises, also late in interpreter shutdown."""
        try:
            self.close()
        except Exception:
            pass


class Owned:
    """Lifetime of a package object that owns one library object: close(),
    the end of a with block or garbage collection releases it, once."""

    @property
    def closed(self):
        return self._owner.closed

    def close(self):
        """Releases the library object now rather than at garbage collection. Safe to call twice."""
        self._owner.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        owner = getattr(self, "_owner", None)
        if owner is not None:
            owner.finalize()
