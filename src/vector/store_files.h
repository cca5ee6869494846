// The files of a persistent store's directory and the protocol that
// replaces the snapshot (meta, vectors, ids) without ever leaving a state
// in which the vectors are paired with the wrong ids.
//
// A snapshot is written as meta.tmp (first), vectors.tmp and ids.tmp, each
// synced. Renaming meta.tmp over meta commits it. Then the log is emptied
// (it only holds changes the new snapshot already contains), and
// vectors.tmp and ids.tmp are renamed into place. On open and before every
// snapshot, recovery looks at what is left: meta.tmp still present means the
// commit never happened, so the temporaries are dropped (data files first,
// meta.tmp last); data temporaries without meta.tmp mean it did, so the log
// is emptied and the renames are completed.
#pragma once

#include <cstdint>
#include <string>

#include "morvadb.h"

namespace morva {

struct StoreImpl;

constexpr uint32_t kMetaMagic = 0x4d565643;
constexpr uint32_t kMetaVersion = 2;
constexpr size_t kMetaSize = 48;
constexpr size_t kOldMetaSize = 32;  // versions 0 and 1 end after the second count

std::string store_file(const char *dir, const char *name);

// What a snapshot stores besides the vectors themselves.
struct SnapshotHeader {
    uint32_t dimension;
    uint32_t metric;
    uint32_t index_type;
    uint32_t m, ef_construction, ef_search;
};

// Writes the live vectors of `store` as the snapshot in `dir`. With
// `empty_log` the directory's log is emptied as part of the commit. 0 or -4.
int32_t write_snapshot(const char *dir, const vec_store *store, bool empty_log);

// Completes or rolls back an interrupted snapshot; 0 or -4.
int32_t recover_directory(const char *dir);

// Takes an exclusive lock on the store's directory (one process and one
// open store per directory); -4 when it is held or cannot be taken.
int32_t lock_directory(StoreImpl *s);
void unlock_directory(StoreImpl *s);

// Unlinks the store's files (and leftover temporaries), then the directory.
void remove_store_files(const char *dir);

// Test hook: when positive, write_snapshot stops (as if the process died)
// right after that many of its steps; it then returns -4.
extern int snapshot_stop_after_step;

}  // namespace morva
