/* A small C host: opens a database, creates a typed table, writes rows,
 * reads one back, and runs a filtered, sorted query.
 *
 *   cc kv_and_query.c $(pkg-config --cflags --libs morvadb) -o kv_and_query
 *   ./kv_and_query /tmp/example-db
 */
#include <morvadb.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

/* Encodes a row of (name STRING, age INT32): strings carry a 4-byte length. */
static size_t encode_person(uint8_t *out, const char *name, int32_t age) {
    int32_t len = (int32_t)strlen(name);
    memcpy(out, &len, 4);
    memcpy(out + 4, name, (size_t)len);
    memcpy(out + 4 + len, &age, 4);
    return 8 + (size_t)len;
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "example-db";
    db_handle *db = NULL;
    int32_t rc = db_open(path, NULL, &db);
    if (rc != DB_OK) {
        fprintf(stderr, "db_open: %s\n", db_error_string(rc));
        return 1;
    }

    const char *columns[] = {"name", "age"};
    const int32_t types[] = {COL_STRING, COL_INT32};
    rc = db_create_table(db, "people", columns, types, 2, "name");
    if (rc != DB_OK && rc != DB_ERR_EXISTS) {
        fprintf(stderr, "db_create_table: %s\n", db_error_string(rc));
        db_close(db);
        return 1;
    }

    const char *names[] = {"ada", "grace", "alan", "edsger"};
    const int32_t ages[] = {36, 85, 41, 72};
    for (int i = 0; i < 4; i++) {
        uint8_t row[64];
        size_t len = encode_person(row, names[i], ages[i]);
        rc = db_put(db, "people", names[i], strlen(names[i]), row, len);
        if (rc != DB_OK) {
            fprintf(stderr, "db_put: %s\n", db_error_string(rc));
            db_close(db);
            return 1;
        }
    }

    const void *value = NULL;
    uint64_t value_len = 0;
    if (db_get(db, "people", "grace", 5, &value, &value_len) == DB_OK) {
        printf("grace: %llu bytes\n", (unsigned long long)value_len);
    }

    query_builder *qb = db_query(db, "people");
    qb_filter(qb, "age", ">", "40");
    qb_sort(qb, "age", 1);
    result_set *rs = qb_exec(qb);
    while (rs && rs_next(rs)) {
        const void *name = NULL, *age = NULL;
        uint64_t name_len = 0, age_len = 0;
        rs_get_column(rs, 0, &name, &name_len);
        rs_get_column(rs, 1, &age, &age_len);
        int32_t a = 0;
        if (age && age_len == 4) memcpy(&a, age, 4);
        printf("%-8.*s %d\n", (int)name_len, name ? (const char *)name : "", a);
    }
    rs_close(rs);
    qb_destroy(qb);
    return db_close(db) == DB_OK ? 0 : 1;
}
