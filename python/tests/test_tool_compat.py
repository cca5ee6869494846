"""The package and the morvadb tool read each other's tables."""

import subprocess

import morvadb
from morvadb import where


def shell(tool, path, script, errors=""):
    done = subprocess.run([tool, "shell", path], input=script, capture_output=True, text=True, timeout=60)
    assert done.stderr == errors
    return done.stdout


def test_tables_written_by_the_tool_read_the_same_from_python(tool, db_path):
    shell(tool, db_path, "\n".join([
        "create people name:string age:int32 big:int64 height:float weight:double ok:bool pic:blob key name",
        "create pets id:int32 owner:string",
        "put people 'Zoë Ñ' 36 9000000000 1.75 70.5 true 0x00ff",
        "put people bob -1 -9000000000 0.5 0 false 0x",
        "put pets 7 bob",
    ]) + "\n")
    with morvadb.open(db_path) as db:
        assert db.tables() == ["people", "pets"]
        assert db.schema("people") == {"name": "string", "age": "int32", "big": "int64", "height": "float",
                                       "weight": "double", "ok": "bool", "pic": "blob"}
        assert db.get("people", "Zoë Ñ") == {"name": "Zoë Ñ", "age": 36, "big": 9000000000, "height": 1.75,
                                              "weight": 70.5, "ok": True, "pic": b"\x00\xff"}
        assert [r["name"] for r in db.query("people", where=where("age", "<", 0))] == ["bob"]
        assert db.query("pets", join=("people", "owner", "name"))[0]["big"] == -9000000000
        assert db.get("pets", 7) == {"id": 7, "owner": "bob"}


def test_tables_written_by_python_read_the_same_from_the_tool(tool, db_path):
    with morvadb.open(db_path) as db:
        db.create_table("people", {"name": "string", "age": "int32", "ok": "bool", "pic": "blob"}, key="name")
        db.create_table("pets", {"id": "int64", "owner": "string"})
        db.put("people", {"name": "Zoë Ñ", "age": 36, "ok": True, "pic": b"\x01\x02"})
        db.put("pets", {"id": 7, "owner": "Zoë Ñ"})
    out = shell(tool, db_path, "get people 'Zoë Ñ'\nselect pets join people on owner = name\nput pets 7 x\n"
                               "put people 7 1 false 0x\n",
                errors="error: line 4: key already holds a row of table pets (all tables share one key space)\n")
    lines = [" ".join(line.split()) for line in out.splitlines()]
    assert "Zoë Ñ | 36 | true | 0x0102" in lines
    assert "7 | Zoë Ñ | 36 | true | 0x0102" in lines
    with morvadb.open(db_path) as db:
        assert db.get("pets", 7) == {"id": 7, "owner": "x"}
        assert db.get("people", "7") is None  # the tool refused the key of a pets row
