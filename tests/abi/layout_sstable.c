/* Field offsets of the sorted table and compaction records (x86-64). */
#include <stddef.h>
#include "morvadb.h"

_Static_assert(offsetof(sstable_writer, stream) == 0, "writer.stream");
_Static_assert(offsetof(sstable_writer, temp_path) == 8, "writer.temp_path");
_Static_assert(offsetof(sstable_writer, final_path) == 16, "writer.final_path");
_Static_assert(offsetof(sstable_writer, sequence) == 24, "writer.sequence");
_Static_assert(offsetof(sstable_writer, num_entries) == 32, "writer.num_entries");
_Static_assert(offsetof(sstable_writer, data_bytes) == 40, "writer.data_bytes");
_Static_assert(offsetof(sstable_writer, since_index) == 48, "writer.since_index");
_Static_assert(offsetof(sstable_writer, index_buf) == 56, "writer.index_buf");
_Static_assert(offsetof(sstable_writer, index_cap) == 64, "writer.index_cap");
_Static_assert(offsetof(sstable_writer, index_len) == 72, "writer.index_len");
_Static_assert(offsetof(sstable_writer, filter) == 80, "writer.filter");
_Static_assert(offsetof(sstable_writer, filter_created) == 88, "writer.filter_created");

_Static_assert(sizeof(sstable_index_point) == 24, "index point size");
_Static_assert(offsetof(sstable_index_point, offset) == 16, "index point offset");

_Static_assert(offsetof(sstable_reader, path) == 0, "reader.path");
_Static_assert(offsetof(sstable_reader, fd) == 8, "reader.fd");
_Static_assert(offsetof(sstable_reader, map) == 16, "reader.map");
_Static_assert(offsetof(sstable_reader, map_size) == 24, "reader.map_size");
_Static_assert(offsetof(sstable_reader, magic) == 32, "reader.magic");
_Static_assert(offsetof(sstable_reader, version) == 36, "reader.version");
_Static_assert(offsetof(sstable_reader, num_entries) == 40, "reader.num_entries");
_Static_assert(offsetof(sstable_reader, data_size) == 48, "reader.data_size");
_Static_assert(offsetof(sstable_reader, index_offset) == 56, "reader.index_offset");
_Static_assert(offsetof(sstable_reader, bloom_offset) == 64, "reader.bloom_offset");
_Static_assert(offsetof(sstable_reader, sequence) == 72, "reader.sequence");
_Static_assert(offsetof(sstable_reader, created_at) == 80, "reader.created_at");
_Static_assert(offsetof(sstable_reader, index) == 88, "reader.index");
_Static_assert(offsetof(sstable_reader, num_index) == 96, "reader.num_index");
_Static_assert(offsetof(sstable_reader, crc_state) == 104, "reader.crc_state");
_Static_assert(offsetof(sstable_reader, filter) == 112, "reader.filter");

/* Hosts allocate arrays of census records. */
_Static_assert(sizeof(compaction_level) == 32, "compaction_level size");
_Static_assert(offsetof(compaction_level, level) == 0, "level.level");
_Static_assert(offsetof(compaction_level, paths) == 8, "level.paths");
_Static_assert(offsetof(compaction_level, file_count) == 16, "level.file_count");
_Static_assert(offsetof(compaction_level, total_bytes) == 24, "level.total_bytes");
