// Storage faults on demand, inside the test process.
//
// The test program defines the C library's file calls that the library
// makes (open, fopen, write, pwrite, fwrite, fflush, fclose, read, pread,
// fread, fsync, msync, mmap, ftruncate, truncate, rename, unlink, remove,
// link). The program's own definitions win over the C library's, also for
// the library linked into it; each forwards to the next definition
// (a sanitizer's interceptor, then the C library) unless a fault is armed
// for that call. Only calls on files under the watched directory count, so
// the test harness's own output is never touched.
//
// Counting the calls a workload makes on a fault-free run and then failing
// each of them in turn covers every failure point of that workload.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace faults {

// What the chosen call does.
enum class Fault {
    kIoError,     // fails once with EIO; everything after it works
    kNoSpace,     // fails with ENOSPC, and so does every later write and sync: a full disk
    kShortWrite,  // a write stores half its bytes and reports that; later writes and syncs fail with ENOSPC
};

// "EIO", "ENOSPC" or "short_write" (fit for test names).
const char *fault_name(Fault kind);

// Calls, as bits of a set.
enum Calls : unsigned {
    kOpen = 1u << 0,      // open, fopen (files and directories)
    kWrite = 1u << 1,     // write, pwrite, fwrite; fflush and fclose with data pending
    kSync = 1u << 2,      // fsync, msync
    kMetadata = 1u << 3,  // rename, unlink, remove, link, truncate, ftruncate
    kRead = 1u << 4,      // read, pread, fread
    kMap = 1u << 5,       // mmap
};
constexpr unsigned kWritePath = kOpen | kWrite | kSync | kMetadata | kMap;
constexpr unsigned kReadPath = kOpen | kRead | kMap;

// Starts counting calls of the given kinds on files under dir (a path
// prefix); clears any fault and the record of earlier calls.
void watch(const std::string &dir, unsigned calls);
// Stops counting and clears everything.
void unwatch();

// Keeps "call path" of every counted call from now on (see recorded()).
void start_recording();
// The calls counted since start_recording, in order.
std::vector<std::string> recorded();

// Makes the point-th counted call (1-based, counting from now) fail.
void arm(uint64_t point, Fault kind);
// Removes the fault: every later call works again.
void clear();
// True once the armed call has been reached.
bool fired();

}  // namespace faults
