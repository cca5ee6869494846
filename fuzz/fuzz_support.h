// Shared plumbing for the fuzz targets: a scratch directory per process and
// a way to carry several files in one fuzz input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace morva::fuzz {

// A private directory for this process (under $MORVADB_FUZZ_SCRATCH, else
// /dev/shm when it exists, so file-backed targets do not wear the disk);
// removed at a normal exit.
const std::string &scratch_dir();

// scratch_dir() + "/" + name.
std::string scratch_path(std::string_view name);

// Replaces the file at path with exactly size bytes of data; false on failure.
bool write_file(const std::string &path, const uint8_t *data, size_t size);

// Reads a whole file; empty when it cannot be read.
std::vector<uint8_t> read_file(const std::string &path);

// Inputs that stand for several files hold them back to back, separated by
// kPartSeparator. A separator is easy for the fuzzer to keep or create, so
// mutations move bytes between files without breaking the split.
inline constexpr std::string_view kPartSeparator = "\n#~part~#\n";

// Splits data into exactly count parts (missing parts are empty; extra
// separators stay inside the last part).
std::vector<std::string_view> split_parts(const uint8_t *data, size_t size, size_t count);

// Joins files into one input in the form split_parts reads.
std::string join_parts(const std::vector<std::string> &parts);

}  // namespace morva::fuzz
