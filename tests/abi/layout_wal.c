/* Field offsets of the log record that hosts read (x86-64). */
#include <stddef.h>
#include "morvadb.h"

_Static_assert(offsetof(wal, path) == 0, "wal.path");
_Static_assert(offsetof(wal, fd) == 8, "wal.fd");
_Static_assert(offsetof(wal, sync_mode) == 12, "wal.sync_mode");
_Static_assert(offsetof(wal, last_seq) == 16, "wal.last_seq");
_Static_assert(offsetof(wal, file_bytes) == 24, "wal.file_bytes");
_Static_assert(offsetof(wal, appends_since_flush) == 32, "wal.appends_since_flush");
_Static_assert(offsetof(wal, buffer) == 40, "wal.buffer");
_Static_assert(offsetof(wal, buffered) == 48, "wal.buffered");
_Static_assert(offsetof(wal, stream) == 56, "wal.stream");
_Static_assert(WAL_HEADER_SIZE == 20 && WAL_RECORD_HEADER_SIZE == 33, "log format sizes");
