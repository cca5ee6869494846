// Test helper: a temporary directory removed with its files at the end.
#pragma once

#include <string>

namespace morva_test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

}  // namespace morva_test
