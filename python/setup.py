"""Packaging hook: a built libmorvadb_shared.so is copied into the package.

``pip install --no-build-isolation ./python`` builds the package from this
directory with Debian's python3-setuptools, offline. When the library has
been built (``build/libmorvadb_shared.so`` of this source tree, or the file
MORVADB_LIBRARY names), the installed package carries a copy of it and
finds it without any setting; otherwise the package is pure Python and
looks for the library at run time (see morvadb/_library.py).
"""

import os

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

HERE = os.path.dirname(os.path.abspath(__file__))
LIBRARY = "libmorvadb_shared.so"


def built_library():
    env = os.environ.get("MORVADB_LIBRARY")
    if env:
        path = os.path.join(env, LIBRARY) if os.path.isdir(env) else env
    else:
        path = os.path.join(HERE, "..", "build", LIBRARY)
    return os.path.abspath(path) if os.path.isfile(path) else None


class BuildWithLibrary(build_py):
    def run(self):
        super().run()
        library = built_library()
        if library:
            self.copy_file(library, os.path.join(self.build_lib, "morvadb", LIBRARY))


class PlatformDistribution(Distribution):
    # A package that carries the compiled library is specific to this
    # platform: its wheel must not be tagged as pure Python.
    def has_ext_modules(self):
        return built_library() is not None


setup(cmdclass={"build_py": BuildWithLibrary}, distclass=PlatformDistribution)
