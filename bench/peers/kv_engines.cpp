// Which engines this build has: each peer is compiled in only when CMake
// found its package (BENCH_HAVE_* definitions).
#include "kv_engine.h"

namespace bench {

std::vector<std::string> kv_engine_names() {
    std::vector<std::string> names = {"morvadb", "morvadb-default"};
#ifdef BENCH_HAVE_LEVELDB
    names.push_back("leveldb");
#endif
#ifdef BENCH_HAVE_ROCKSDB
    names.push_back("rocksdb");
#endif
#ifdef BENCH_HAVE_LMDB
    names.push_back("lmdb");
#endif
#ifdef BENCH_HAVE_SQLITE
    names.push_back("sqlite");
#endif
    return names;
}

std::unique_ptr<KvEngine> make_kv_engine(const std::string &name) {
    if (name == "morvadb") return make_morvadb_engine(true);
    if (name == "morvadb-default") return make_morvadb_engine(false);
#ifdef BENCH_HAVE_LEVELDB
    if (name == "leveldb") return make_leveldb_engine();
#endif
#ifdef BENCH_HAVE_ROCKSDB
    if (name == "rocksdb") return make_rocksdb_engine();
#endif
#ifdef BENCH_HAVE_LMDB
    if (name == "lmdb") return make_lmdb_engine();
#endif
#ifdef BENCH_HAVE_SQLITE
    if (name == "sqlite") return make_sqlite_engine();
#endif
    return nullptr;
}

}  // namespace bench
