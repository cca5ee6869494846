// A writer in a child process, driven line by line over pipes, so follower
// tests run against a real second process.
#pragma once

#include <sys/types.h>

#include <string>

#include "morvadb.h"

namespace dbtest {

class WriterProcess {
public:
    // Forks the child; nothing is opened until the first command.
    explicit WriterProcess(const std::string &prefix);
    ~WriterProcess();
    WriterProcess(const WriterProcess &) = delete;
    WriterProcess &operator=(const WriterProcess &) = delete;

    // Runs one command in the child and returns its status (or -100 when the
    // child is gone). Commands:
    //   open <shared 0|1> <memtable size>   db_open, creating table "t"
    //   put <key> <value>   del <key>       db_put / db_delete on table "t"
    //   bulk <count> <key prefix> <value bytes>   puts <prefix><i> = value(i)
    //   table <name>                        db_create_table with one column
    //   close                               db_close
    int cmd(const std::string &line);

    // The value bulk stores under index i.
    static std::string bulk_value(const std::string &prefix, int i, size_t bytes);

private:
    pid_t pid_ = -1;
    int to_child_ = -1;
    int from_child_ = -1;
};

// Runs fn in a child process and returns its exit code (fn's result), or -1.
int run_in_child(int (*fn)(void *), void *arg);

// The value of key in table "t" of a handle, or kMissing.
std::string get_value(db_handle *db, const std::string &key);

// Polls db_get (without refreshing) until key has the expected value or
// the timeout passes; true when it did.
bool wait_for_value(db_handle *db, const std::string &key, const std::string &expected, int timeout_ms);

}  // namespace dbtest
