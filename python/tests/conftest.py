import os
import sys

import pytest

PYTHON_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(PYTHON_DIR)
# The package under test is the one in this source tree, which loads
# build/libmorvadb_shared.so unless MORVADB_LIBRARY names another build.
sys.path.insert(0, PYTHON_DIR)

import morvadb  # noqa: E402
from morvadb import __main__ as cli  # noqa: E402


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "db")


@pytest.fixture
def db(db_path):
    with morvadb.open(db_path) as handle:
        yield handle


@pytest.fixture
def tool():
    path = cli.find_tool()
    if path is None:
        pytest.skip("the morvadb tool is not built")
    return path


ALL_TYPES = {"key": "string", "i32": "int32", "i64": "int64", "f32": "float", "f64": "double", "text": "string",
             "data": "blob", "flag": "bool"}


@pytest.fixture
def typed(db):
    """A database with a table holding one column of every type."""
    db.create_table("typed", ALL_TYPES, key="key")
    return db
