"""A small Python host: typed tables, a filtered and joined query, then
search by meaning with the library's text embedder.

    python3 examples/python/books.py /tmp/books-db
"""

import sys

import morvadb
from morvadb import where

AUTHORS = [(1, "Ada Reyes", "Chile"), (2, "Tomas Lind", "Sweden"), (3, "Mei Chen", "China")]
BOOKS = [
    (101, "The Glass Orchard", 1, 1962, 4.3, "A family tends an orchard of glass trees through a long drought."),
    (102, "Salt and Signal", 2, 1978, 4.6, "A radio operator on a northern island hears messages from a lost ship."),
    (103, "Quiet Machines", 3, 1991, 4.8, "A robot caretaker learns to paint while the city around it sleeps."),
    (104, "Iron Lullaby", 3, 2004, 4.1, "Engineers build a thinking machine that refuses to stop singing."),
    (105, "Deep Blue Choir", 2, 1999, 4.4, "Divers record whale songs in the deep ocean and find a melody."),
]


def main(path):
    with morvadb.open(path) as db:
        if "books" not in db:
            db.create_table("authors", {"id": "int32", "name": "string", "country": "string"}, key="id")
            db.create_table("books", {"id": "int32", "title": "string", "author_id": "int32", "year": "int32",
                                      "rating": "double", "summary": "string"}, key="id")
        for author_id, name, country in AUTHORS:
            db.put("authors", {"id": author_id, "name": name, "country": country})
        for book_id, title, author, year, rating, summary in BOOKS:
            db.put("books", {"id": book_id, "title": title, "author_id": author, "year": year, "rating": rating,
                             "summary": summary})

        print("Books after 1970 rated 4.4 or better, with their authors:")
        rows = db.query("books", where=where("year", ">", 1970) & where("rating", ">=", 4.4),
                        order_by="rating", descending=True, join=("authors", "author_id", "id"))
        for row in rows:
            print("  %-16s %d  %.1f  %s (%s)" % (row["title"], row["year"], row["rating"], row["name"],
                                                 row["country"]))

        # Search by meaning: embed every summary, then the question.
        db.create_vector_index(dimension=64, hnsw=False)
        for book_id, _, _, _, _, summary in BOOKS:
            db.insert_text(book_id, summary)
        print("Nearest to 'machines that think and sing':")
        for book_id, distance in db.search_text("machines that think and sing", k=2):
            print("  %.3f  %s" % (distance, db.get("books", book_id)["title"]))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "books-db")
