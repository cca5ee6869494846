// The optional flush thread: checkpoints a dirty store every interval. It
// sleeps in short slices so that stopping it never waits a whole interval.
#include <time.h>

#include "util/sync.h"
#include "vector/store.h"

namespace morva {
namespace {

constexpr int32_t kSliceMs = 10;

bool running(const vec_store *s) { return __atomic_load_n(&s->flush_running, __ATOMIC_ACQUIRE) != 0; }

void sleep_ms(int32_t ms) {
    struct timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

void *vec_flush_thread(void *arg) {
    vec_store *s = static_cast<vec_store *>(arg);
    while (running(s)) {
        int32_t interval = __atomic_load_n(&s->flush_interval_ms, __ATOMIC_ACQUIRE);
        for (int32_t slept = 0; slept < interval && running(s); slept += kSliceMs)
            sleep_ms(interval - slept < kSliceMs ? interval - slept : kSliceMs);
        if (!running(s)) break;
        if (get_dirty(s)) morvadb_vec_flush(s);
    }
    return nullptr;
}

}  // namespace

void stop_flush_thread(StoreImpl *s) {
    MutexGuard guard(&s->thread_mutex);
    if (!running(s)) return;
    __atomic_store_n(&s->flush_running, 0u, __ATOMIC_RELEASE);
    pthread_join(s->flush_thread, nullptr);
}

}  // namespace morva

using namespace morva;

extern "C" MORVADB_API int32_t morvadb_vec_flush_interval(vec_store *store, int32_t ms) {
    if (!store) return -5;
    StoreImpl *s = impl(store);
    if (ms <= 0) {
        stop_flush_thread(s);
        __atomic_store_n(&s->flush_interval_ms, 0, __ATOMIC_RELEASE);
        return 0;
    }
    MutexGuard guard(&s->thread_mutex);
    __atomic_store_n(&s->flush_interval_ms, ms, __ATOMIC_RELEASE);
    if (running(s)) return 0;
    __atomic_store_n(&s->flush_running, 1u, __ATOMIC_RELEASE);
    if (pthread_create(&s->flush_thread, nullptr, vec_flush_thread, s) != 0) {
        __atomic_store_n(&s->flush_running, 0u, __ATOMIC_RELEASE);
        return -1;
    }
    return 0;
}
