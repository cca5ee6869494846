"""``python3 -m morvadb demo [DIR]`` and ``python3 -m morvadb shell PATH``.

Both run the library's ``morvadb`` command-line tool, which is built beside
the library (``build/morvadb``) and installed by ``cmake --install``.
"""

import os
import shutil
import sys

from . import _library

USAGE = """usage: python3 -m morvadb demo [DIR]   build a sample database in DIR (default ./morvadb-demo) and query it
       python3 -m morvadb shell PATH   interactive shell on the database at the path prefix PATH
       python3 -m morvadb where        print where the library and the tool were found"""

TOOL = "morvadb"


def tool_candidates():
    """Places the tool may be, in the order they are tried."""
    places = []
    try:
        from . import _installed
        places.append(os.path.normpath(os.path.join(_library._PACKAGE_DIR, _installed.TOOL)))
    except ImportError:
        pass
    library = _library.loaded_path()
    if library and os.sep in library:
        places.append(os.path.join(os.path.dirname(library), TOOL))
    places.append(os.path.normpath(os.path.join(_library._PACKAGE_DIR, "..", "..", "build", TOOL)))
    found = shutil.which(TOOL)
    if found:
        places.append(found)
    return places


def find_tool():
    try:
        _library.load()  # the tool beside the loaded library is the matching one
    except Exception:
        pass
    for path in tool_candidates():
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    return None


def main(argv):
    if len(argv) >= 1 and argv[0] == "where":
        try:
            _library.load()
            print("library:", _library.loaded_path())
        except Exception as e:
            print("library: %s" % e)
        print("tool:", find_tool() or "not found")
        return 0
    if not argv or argv[0] not in ("demo", "shell") or (argv[0] == "demo" and len(argv) > 2) or \
            (argv[0] == "shell" and len(argv) != 2):
        print(USAGE, file=sys.stderr)
        return 2
    tool = find_tool()
    if tool is None:
        print("The morvadb tool was not found (looked in: %s, and on PATH).\n"
              "Build it with: cmake -S . -B build -DCMAKE_BUILD_TYPE=Release && cmake --build build -j\n"
              "(it appears as build/morvadb), or install it with cmake --install."
              % ", ".join(tool_candidates()), file=sys.stderr)
        return 1
    sys.stdout.flush()
    os.execv(tool, [tool] + list(argv))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
