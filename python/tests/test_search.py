"""Full-text search of table rows, the handle's vector index, hybrid search."""

import pytest

import morvadb
from morvadb import InvalidArgumentError

NOTES = {1: "Storage engines flush memtables", 2: "Vector search finds nearest neighbours",
         3: "Crash safe storage with a write ahead log"}


@pytest.fixture
def notes(db):
    db.create_table("notes", {"id": "int32", "body": "string"})
    db.create_table("other", {"id": "int32", "body": "string"})
    for i, body in NOTES.items():
        db.put("notes", {"id": i, "body": body})
    db.put("other", {"id": 9, "body": "storage elsewhere"})
    return db


def found(rows):
    return sorted(r["id"] for r in rows)


def test_full_text_search_of_rows(notes):
    with pytest.raises(InvalidArgumentError, match="not indexed"):
        notes.search("notes", "storage")
    assert notes.index_text("notes", "body") == 3
    notes.index_text("other", "body")
    hits = notes.search("notes", "MEMTABLES OR vectr~1")
    assert found(hits) == [1, 2] and all(set(h) == {"id", "body", "_score"} for h in hits)
    assert len(notes.search("notes", "memtables OR log")) == 2
    assert len(notes.search("notes", "memtables OR log", limit=1)) == 1
    notes.put("notes", {"id": 4, "body": "Quantizers compress vectors"})   # indexed as written
    assert found(notes.search("notes", "quantizers")) == [4]
    notes.put("notes", {"id": 4, "body": "replaced text"})
    assert notes.search("notes", "quantizers") == [] and found(notes.search("notes", "replaced")) == [4]
    notes.delete("notes", 1)
    assert notes.search("notes", "memtables") == []
    assert found(notes.search("other", "elsewhere")) == [9] and notes.search("other", "memtables") == []
    with pytest.raises(InvalidArgumentError):
        notes.search("notes", "   ")
    with pytest.raises(InvalidArgumentError, match="string"):
        notes.index_text("notes", "id")


def test_vector_index_on_the_handle(db):
    with pytest.raises(InvalidArgumentError, match="create_vector_index"):
        db.search_text("anything")
    db.create_vector_index(dimension=16, hnsw=False)
    db.insert_texts([1, 2], ["hello world", "vector search"])
    db.insert_text(3, "completely different words")
    assert db.search_text("hello world", k=2)[0] == (1, 0.0)
    assert db.vector_count() == 3
    db.insert_vector(7, [1.0] + [0.0] * 15)
    assert db.search_vector([1.0] + [0.0] * 15, k=1) == [(7, 0.0)]
    assert len(db.search_vector([0.0] * 16, k=100)) == 4
    assert db.delete_vector(7) is True and db.delete_vector(7) is False
    with pytest.raises(InvalidArgumentError, match="16"):
        db.insert_vector(8, [1.0] * 15)
    with pytest.raises(InvalidArgumentError):
        db.search_text("x", k=0)
    with pytest.raises(InvalidArgumentError):
        db.insert_text(-1, "negative id")
    db.drop_vector_index()
    assert db.vector_count() == 0 and db.vector_dimension is None


def test_hybrid_search_fuses_both_rankings(notes):
    notes.index_text("notes", "body")
    with pytest.raises(InvalidArgumentError, match="vector index"):
        notes.hybrid_search("notes", "body", "storage")
    notes.create_vector_index(dimension=32, hnsw=True, m=8, ef_construction=50)
    assert notes.vector_count() == 0  # rows join the vector index at the first hybrid search
    hits = notes.hybrid_search("notes", "body", "vector search nearest", k=2)
    assert notes.vector_count() == 3
    assert hits[0]["id"] == 2 and len(hits) == 2
    assert hits[0]["_score"] > hits[1]["_score"] > 0 and hits[0]["_text_score"] > 0
    assert set(hits[0]) == {"id", "body", "_score", "_distance", "_text_score"}
    with pytest.raises(InvalidArgumentError, match="not indexed"):
        notes.hybrid_search("other", "body", "storage")


def test_followers_read_and_refuse_writes(db_path):
    with morvadb.open(db_path, shared_mode=True) as writer:
        writer.create_table("t", {"k": "string", "v": "int32"})
        with morvadb.open_reader(db_path, refresh_interval_ms=100000) as follower:
            assert follower.read_only and follower.tables() == ["t"]
            writer.put("t", {"k": "a", "v": 1})
            follower.refresh()
            assert follower.get("t", "a") == {"k": "a", "v": 1}
            assert follower.query("t") == [{"k": "a", "v": 1}]
            for write in (lambda: follower.put("t", {"k": "b", "v": 2}), lambda: follower.delete("t", "a"),
                          lambda: follower.create_table("u", {"x": "int32"}), lambda: follower.index_text("t", "k")):
                with pytest.raises(InvalidArgumentError, match="follower"):
                    write()
        with pytest.raises(InvalidArgumentError):
            writer.refresh()
