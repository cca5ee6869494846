"""Tables and rows: encoding of every column type, lengths, keys, catalog."""

import math

import pytest

import morvadb
from morvadb import InvalidArgumentError

EDGE_ROWS = [
    {"key": "min", "i32": -2**31, "i64": -2**63, "f32": -3.4028234663852886e38, "f64": -1e308, "text": "",
     "data": b"", "flag": False},
    {"key": "max", "i32": 2**31 - 1, "i64": 2**63 - 1, "f32": float("inf"), "f64": 5e-324,
     "text": "中文 ünïcödé 🚀", "data": bytes(range(256)), "flag": True},
    {"key": "ключ 🔑", "i32": 0, "i64": 0, "f32": 0.1, "f64": math.pi, "text": "a\0b",
     "data": b"\0\0", "flag": True},
]


def test_every_column_type_round_trips_and_survives_reopen(typed, db_path):
    for row in EDGE_ROWS:
        typed.put("typed", row)
    for reopen in (False, True):
        db = morvadb.open(db_path) if reopen else typed
        if reopen:
            typed.close()
        try:
            for row in EDGE_ROWS:
                got = db.get("typed", row["key"])
                expected = dict(row, f32=pytest.approx(row["f32"], rel=1e-7))
                assert got == expected
                assert type(got["flag"]) is bool and type(got["data"]) is bytes
        finally:
            db.close()


def test_nan_and_invalid_utf8_from_other_hosts_come_back(typed):
    typed.put("typed", dict(EDGE_ROWS[0], f32=float("nan"), f64=float("nan")))
    got = typed.get("typed", "min")
    assert math.isnan(got["f32"]) and math.isnan(got["f64"])
    # A C host may store any bytes in a string column: they read back as
    # surrogate escapes and are written back unchanged.
    raw = typed.get_bytes("typed", b"min\0")
    prefix = len(raw) - 4 - 4 - 1  # the trailing empty text, empty blob and bool
    typed.put_bytes("typed", b"min\0", raw[:prefix] + b"\x03\0\0\0\xff\xfeA" + raw[prefix + 4:])
    row = typed.get("typed", "min")
    assert row["text"] == "\udcff\udcfeA" and row["flag"] is False
    typed.put("typed", row)
    assert typed.get_bytes("typed", b"min\0") == raw[:prefix] + b"\x03\0\0\0\xff\xfeA" + raw[prefix + 4:]


@pytest.mark.parametrize("column, value, error", [
    ("i32", "7", TypeError), ("i32", True, TypeError), ("i32", 2**31, InvalidArgumentError),
    ("i64", 2**63, InvalidArgumentError), ("i64", 1.5, TypeError), ("f32", 1e39, InvalidArgumentError),
    ("f64", "1.0", TypeError), ("text", b"bytes", TypeError), ("data", "str", TypeError),
    ("flag", 2, TypeError), ("flag", None, TypeError),
])
def test_values_that_do_not_fit_their_column_are_refused(typed, column, value, error):
    row = dict(EDGE_ROWS[0], **{column: value})
    with pytest.raises(error):
        typed.put("typed", row)
    assert typed.get("typed", "min") is None  # nothing was written


def test_rows_must_name_every_column_exactly(typed):
    with pytest.raises(InvalidArgumentError, match="lacks column 'flag'"):
        typed.put("typed", {k: v for k, v in EDGE_ROWS[0].items() if k != "flag"})
    with pytest.raises(InvalidArgumentError, match="no column 'extra'"):
        typed.put("typed", dict(EDGE_ROWS[0], extra=1))
    with pytest.raises(InvalidArgumentError, match="_table"):
        typed.put("typed", dict(EDGE_ROWS[0], _table=1))
    with pytest.raises(TypeError):
        typed.put("typed", [1, 2])


def test_a_write_holds_at_most_65503_bytes_of_key_and_row(db):
    db.create_table("docs", {"id": "int32", "body": "string"})
    key_and_overhead = len(b"1\0") + 4 + 4 + 4  # key, tag, id, length prefix
    fits = "x" * (65503 - key_and_overhead)
    db.put("docs", {"id": 1, "body": fits})
    assert db.get("docs", 1)["body"] == fits
    with pytest.raises(InvalidArgumentError, match="at most 65503"):
        db.put("docs", {"id": 1, "body": fits + "é"})
    assert db.get("docs", 1)["body"] == fits
    db.put_bytes("docs", b"k", b"v" * (65503 - 1))
    with pytest.raises(InvalidArgumentError):
        db.put_bytes("docs", b"k", b"v" * 65503)


def test_catalog_create_and_reopen(db_path):
    with morvadb.open(db_path) as db:
        db.create_table("ünï", [("b", "BOOLEAN"), ("a", "text"), ("n", "bigint")], key="a")
        with pytest.raises(morvadb.ExistsError):
            db.create_table("ünï", {"x": "int32"})
    with morvadb.open(db_path) as db:
        assert db.tables() == ["ünï"] and "ünï" in db and "other" not in db
        assert list(db.schema("ünï").items()) == [("b", "bool"), ("a", "string"), ("n", "int64")]
        assert db.key_column("ünï") == "a"
        with pytest.raises(morvadb.NotFoundError):
            db.schema("missing")


@pytest.mark.parametrize("name, columns, key", [
    ("t", {}, None), ("t" * 64, {"a": "int32"}, None), ("t", {"a|b": "int32"}, None),
    ("t", {"_table": "int32"}, None), ("t", {"a": "uuid"}, None), ("t", {"a": "int32"}, "b"),
    ("t", {"c%d" % i: "int32" for i in range(64)}, None), ("t", {"": "int32"}, None),
])
def test_invalid_tables_are_refused(db, name, columns, key):
    with pytest.raises(InvalidArgumentError):
        db.create_table(name, columns, key=key)
    assert db.tables() == []


def test_tables_share_one_key_space_without_clobbering(db):
    db.create_table("a", {"id": "int32", "v": "string"})
    db.create_table("b", {"id": "int32", "v": "string"})
    db.put("a", {"id": 1, "v": "from a"})
    with pytest.raises(morvadb.ExistsError, match="table a"):
        db.put("b", {"id": 1, "v": "from b"})
    assert db.get("b", 1) is None
    assert db.delete("b", 1) is False
    assert db.get("a", 1) == {"id": 1, "v": "from a"}
    assert db.delete("a", 1) is True and db.get("a", 1) is None
    db.put("b", {"id": 1, "v": "from b"})  # the key is free again
    assert db.get("a", 1) is None and db.get("b", 1) == {"id": 1, "v": "from b"}
