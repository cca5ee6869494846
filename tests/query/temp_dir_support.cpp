#include "query/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace morva_test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "morvadb_query_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace morva_test
