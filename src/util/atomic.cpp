// Loads and stores of words shared between processes through a mapping.
// A store is a sequentially consistent exchange, so everything the calling
// thread wrote before it is visible to a reader that loads the new value with
// acquire ordering. Null pointers are ignored (loads give 0) rather than
// faulting inside the library.
#include "morvadb.h"

extern "C" MORVADB_API void morvadb_atomic_store_u64(uint64_t *p, uint64_t value) {
    if (p != nullptr) (void)__atomic_exchange_n(p, value, __ATOMIC_SEQ_CST);
}

extern "C" MORVADB_API void morvadb_atomic_store_u32(uint32_t *p, uint32_t value) {
    if (p != nullptr) (void)__atomic_exchange_n(p, value, __ATOMIC_SEQ_CST);
}

extern "C" MORVADB_API uint64_t morvadb_atomic_load_u64(const uint64_t *p) {
    return p != nullptr ? __atomic_load_n(p, __ATOMIC_ACQUIRE) : 0;
}

extern "C" MORVADB_API uint32_t morvadb_atomic_load_u32(const uint32_t *p) {
    return p != nullptr ? __atomic_load_n(p, __ATOMIC_ACQUIRE) : 0;
}
