/* Layouts of the mapped-log records that hosts allocate and read (x86-64). */
#include <stddef.h>
#include "morvadb.h"

_Static_assert(sizeof(shared_meta) == 24, "shared_meta is the 24-byte file record");
_Static_assert(offsetof(shared_meta, magic) == 0, "shared_meta.magic");
_Static_assert(offsetof(shared_meta, reserved) == 8, "shared_meta.reserved");
_Static_assert(offsetof(shared_meta, version) == 16, "shared_meta.version");
_Static_assert(offsetof(shared_meta, reader_count) == 20, "shared_meta.reader_count");

_Static_assert(offsetof(wal_mmap, file) == 0, "wal_mmap starts with its mapping");
_Static_assert(sizeof(mapped_file) == 32, "mapped_file size");
_Static_assert(offsetof(wal_mmap, header) == 32, "wal_mmap.header");
_Static_assert(offsetof(wal_mmap, data) == 40, "wal_mmap.data");
_Static_assert(offsetof(wal_mmap, capacity) == 48, "wal_mmap.capacity");
_Static_assert(offsetof(wal_mmap, cursor) == 56, "wal_mmap.cursor");
_Static_assert(sizeof(wal_mmap) == 64, "wal_mmap size");
