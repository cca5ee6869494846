/* The C side of the binding benchmark: the same work as bench_binding.py
 * does through the Python package, timed with the monotonic clock.
 *
 *   bench_c kv DIR N                  N puts of pre-encoded rows, then N gets
 *   bench_c search DATA N D Q K R     R rounds of Q flat searches (k = K) over N x D vectors
 *   bench_c batch DATA N D            one batch insert of N x D vectors
 *
 * DATA is a file of float32 values: N x D vectors, then the queries. Each
 * line of output is "name seconds". */
#include <morvadb.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static void fail(const char *what, int rc) {
    fprintf(stderr, "%s failed: %d\n", what, rc);
    exit(1);
}

static float *read_floats(const char *path, size_t count) {
    float *data = malloc(count * sizeof(float));
    FILE *f = fopen(path, "rb");
    if (!data || !f || fread(data, sizeof(float), count, f) != count) fail("reading the data", -1);
    fclose(f);
    return data;
}

/* Rows as the Python package stores them in table "bench" (_table int32,
 * id int32, name string, value double), keyed by the id as text plus NUL. */
static size_t encode_row(unsigned char *out, int32_t tag, int32_t id) {
    char name[32];
    int32_t len = snprintf(name, sizeof name, "row-%d", id);
    double value = id * 0.5;
    size_t p = 0;
    memcpy(out + p, &tag, 4), p += 4;
    memcpy(out + p, &id, 4), p += 4;
    memcpy(out + p, &len, 4), p += 4;
    memcpy(out + p, name, (size_t)len), p += (size_t)len;
    memcpy(out + p, &value, 8), p += 8;
    return p;
}

static int kv(const char *dir, int n) {
    char path[512];
    snprintf(path, sizeof path, "%s/db", dir);
    db_options options = {0, 0, 65536, 4u << 20, 1, 0, 10, 4, 10485760, 10.0};
    db_handle *db;
    int rc = db_open(path, &options, &db);
    if (rc) fail("db_open", rc);
    const char *columns[] = {"_table", "id", "name", "value"};
    const int32_t types[] = {COL_INT32, COL_INT32, COL_STRING, COL_DOUBLE};
    if ((rc = db_create_table(db, "bench", columns, types, 4, "id"))) fail("db_create_table", rc);
    int32_t tag = 0x4D560000 + 1;
    unsigned char row[64];
    char key[16];
    double t0 = now();
    for (int i = 0; i < n; i++) {
        size_t key_len = (size_t)snprintf(key, sizeof key, "%d", i) + 1;
        size_t row_len = encode_row(row, tag, i);
        if ((rc = db_put(db, "bench", key, key_len, row, row_len))) fail("db_put", rc);
    }
    double t1 = now();
    size_t total = 0;
    for (int i = 0; i < n; i++) {
        size_t key_len = (size_t)snprintf(key, sizeof key, "%d", i) + 1;
        const void *value;
        uint64_t len;
        if ((rc = db_get(db, "bench", key, key_len, &value, &len))) fail("db_get", rc);
        total += len;
    }
    double t2 = now();
    db_close(db);
    printf("put %.9f\nget %.9f\n", t1 - t0, t2 - t1);
    return total == 0;
}

static vec_store *flat_store(uint32_t dim) {
    vec_config config = {VEC_INDEX_FLAT, VEC_METRIC_L2, dim, 0, 0, 16, 200, 50};
    vec_store *store;
    int rc = morvadb_vec_create(NULL, &config, &store);
    if (rc) fail("morvadb_vec_create", rc);
    return store;
}

static uint64_t *sequential_ids(size_t n) {
    uint64_t *ids = malloc(n * sizeof(uint64_t));
    if (!ids) fail("malloc", -1);
    for (size_t i = 0; i < n; i++) ids[i] = i;
    return ids;
}

static int search(const char *data_path, int n, int dim, int queries, int k, int rounds) {
    float *data = read_floats(data_path, (size_t)(n + queries) * (size_t)dim);
    uint64_t *ids = sequential_ids((size_t)n);
    vec_store *store = flat_store((uint32_t)dim);
    int rc = morvadb_vec_insert_batch(store, (uint32_t)n, ids, data);
    if (rc) fail("morvadb_vec_insert_batch", rc);
    vec_result results[64];
    uint64_t check = 0;
    double t0 = now();
    for (int r = 0; r < rounds; r++) {
        for (int q = 0; q < queries; q++) {
            int found = morvadb_vec_search(store, data + (size_t)(n + q) * (size_t)dim, k, results);
            if (found < 0) fail("morvadb_vec_search", found);
            check += results[0].id;
        }
    }
    double t1 = now();
    printf("search %.9f\ncheck %llu\n", t1 - t0, (unsigned long long)check);
    morvadb_vec_close(store);
    free(ids);
    free(data);
    return 0;
}

static int batch(const char *data_path, int n, int dim) {
    float *data = read_floats(data_path, (size_t)n * (size_t)dim);
    uint64_t *ids = sequential_ids((size_t)n);
    /* The first round only warms the allocator, as earlier rounds do for
     * the Python process, so both sides insert into recycled memory. */
    double elapsed = 0;
    for (int round = 0; round < 2; round++) {
        vec_store *store = flat_store((uint32_t)dim);
        double t0 = now();
        int rc = morvadb_vec_insert_batch(store, (uint32_t)n, ids, data);
        elapsed = now() - t0;
        if (rc) fail("morvadb_vec_insert_batch", rc);
        morvadb_vec_close(store);
    }
    printf("batch %.9f\n", elapsed);
    free(ids);
    free(data);
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "kv") == 0) return kv(argv[2], atoi(argv[3]));
    if (argc == 8 && strcmp(argv[1], "search") == 0)
        return search(argv[2], atoi(argv[3]), atoi(argv[4]), atoi(argv[5]), atoi(argv[6]), atoi(argv[7]));
    if (argc == 5 && strcmp(argv[1], "batch") == 0) return batch(argv[2], atoi(argv[3]), atoi(argv[4]));
    fprintf(stderr, "usage: bench_c kv DIR N | search DATA N D Q K R | batch DATA N D\n");
    return 2;
}
