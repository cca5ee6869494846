// A database opened in a fresh temporary directory for the tests of the
// handle's vector and quantized indexes, closed and removed afterwards, so
// every test also runs the close path that releases those indexes.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "morvadb.h"

namespace vectest {

class TempDatabase {
public:
    explicit TempDatabase(const db_options *options = nullptr) {
        char pattern[] = "/tmp/morvadb_dbvec_XXXXXX";
        const char *made = mkdtemp(pattern);
        EXPECT_NE(made, nullptr);
        if (!made) return;
        dir_ = made;
        EXPECT_EQ(db_open(prefix().c_str(), options, &db_), DB_OK);
    }
    ~TempDatabase() {
        if (db_) {
            EXPECT_EQ(db_close(db_), DB_OK);
        }
        if (dir_.empty()) return;
        if (DIR *d = opendir(dir_.c_str())) {
            while (dirent *e = readdir(d)) {
                const std::string name = e->d_name;
                if (name != "." && name != "..") ::unlink((dir_ + "/" + name).c_str());
            }
            closedir(d);
        }
        ::rmdir(dir_.c_str());
    }
    TempDatabase(const TempDatabase &) = delete;
    TempDatabase &operator=(const TempDatabase &) = delete;

    db_handle *get() const { return db_; }
    std::string prefix() const { return dir_ + "/db"; }

private:
    std::string dir_;
    db_handle *db_ = nullptr;
};

}  // namespace vectest
