"""Queries: conditions on every comparable type, sort, limit, join."""

import functools
import operator

import pytest

import morvadb
from morvadb import InvalidArgumentError, where


@pytest.fixture
def books(db):
    db.create_table("authors", {"id": "int32", "name": "string"}, key="id")
    db.create_table("books", {"id": "int64", "title": "string", "author": "int32", "price": "float",
                              "rating": "double", "print": "bool", "cover": "blob", "name": "string"})
    for i, name in [(1, "Ada"), (2, "Mei")]:
        db.put("authors", {"id": i, "name": name})
    rows = [(10, "Alpha", 1, 4.2, 3.5, True), (11, "beta", 2, 9.99, 4.5, False), (12, "Gamma", 3, 0.5, 4.0, True),
            (13, "Ärger", 2, 4.2, 5.0, True)]
    for id, title, author, price, rating, in_print in rows:
        db.put("books", {"id": id, "title": title, "author": author, "price": price, "rating": rating,
                         "print": in_print, "cover": b"\0", "name": "n%d" % id})
    return db


def ids(rows):
    return sorted(r["id"] for r in rows)


@pytest.mark.parametrize("cond, expected", [
    (where("id", ">=", 12), [12, 13]),
    (where("author", "==", 2), [11, 13]),
    (where("price", ">=", 4.2), [10, 11, 13]),       # float columns compare in single precision
    (where("price", "=", 4.2), [10, 13]),
    (where("rating", "<", 4.5), [10, 12]),
    (where("print", "=", False), [11]),
    (where("title", "<", "a"), [10, 12]),           # byte order: capitals first
    (where("title", ">", "beta"), [13]),             # UTF-8 bytes sort after ASCII
    (where("title", "=", "Ärger"), [13]),
    (~where("print", "=", True) | where("id", "=", 10), [10, 11]),
    (where("author", "!=", 2) & ~(where("id", "<", 11) | where("id", ">", 11)), []),
])
def test_conditions(books, cond, expected):
    assert ids(books.query("books", where=cond)) == expected


def test_only_rows_of_the_queried_table_come_back(books):
    assert ids(books.query("authors")) == [1, 2]
    assert len(books.query("books")) == 4


def test_sort_limit_and_join(books):
    rows = books.query("books", order_by="rating", descending=True, limit=3, join=("authors", "author", "id"))
    assert [(r["id"], r["authors.name"], r["name"]) for r in rows] == [(13, "Mei", "n13"), (11, "Mei", "n11"),
                                                                        (12, None, "n12")]
    assert "_table" not in rows[0] and "id" in rows[0]
    assert [r["id"] for r in books.query("books", order_by="title")] == [10, 12, 11, 13]
    assert books.query("books", limit=0) == []
    with pytest.raises(InvalidArgumentError, match="key column"):
        books.query("books", join=("authors", "author", "name"))


def test_a_very_deep_condition_tree(books):
    cond = functools.reduce(operator.or_, [where("id", "=", i) for i in range(5000)])
    assert ids(books.query("books", where=cond)) == [10, 11, 12, 13]
    assert repr(cond).count("where") == 5000


@pytest.mark.parametrize("kwargs, error", [
    ({"where": where("missing", "=", 1)}, InvalidArgumentError),
    ({"where": where("_table", "=", 1)}, InvalidArgumentError),
    ({"where": where("cover", "=", "x")}, InvalidArgumentError),
    ({"where": where("rating", ">", float("nan"))}, InvalidArgumentError),
    ({"where": where("title", "=", "x" * 256)}, InvalidArgumentError),
    ({"where": where("title", "=", "a\0b")}, InvalidArgumentError),
    ({"where": where("id", "=", "10")}, TypeError),
    ({"where": where("print", "=", 1)}, TypeError),
    ({"where": "id = 10"}, TypeError),
    ({"order_by": "cover"}, InvalidArgumentError),
    ({"order_by": "missing"}, InvalidArgumentError),
    ({"limit": -1}, InvalidArgumentError),
    ({"join": ("missing", "author", "id")}, morvadb.NotFoundError),
])
def test_bad_queries_raise(books, kwargs, error):
    with pytest.raises(error):
        books.query("books", **kwargs)


def test_condition_misuse(books):
    with pytest.raises(InvalidArgumentError):
        where("id", "<>", 1)
    with pytest.raises(TypeError):
        where("id", "=", 1) and where("id", "=", 2)
    with pytest.raises(TypeError):
        where("id", "=", 1) & "id = 2"


def test_a_stored_nan_matches_no_comparison(db):
    db.create_table("t", {"id": "int32", "x": "double", "y": "float"})
    db.put("t", {"id": 1, "x": float("nan"), "y": float("nan")})
    db.put("t", {"id": 2, "x": 5.0, "y": 5.0})
    for column in ("x", "y"):
        for op in ("=", ">=", "<=", "<", ">"):
            assert ids(db.query("t", where=where(column, op, 5.0))) == ([2] if "=" in op else [])
        assert ids(db.query("t", where=where(column, "!=", 5.0))) == [1]  # as IEEE comparisons
        assert ids(db.query("t", where=~where(column, ">=", 6.0))) == [1, 2]
