// morvadb: the command-line tool of the database library.
#include <cstring>
#include <iostream>

#include "commands.h"

namespace {

const char kUsage[] =
    "usage: morvadb demo [DIR]                    build a sample database in DIR (default ./morvadb-demo)\n"
    "                                             and run queries and searches on it\n"
    "       morvadb shell PATH                    interactive shell on the database at PATH\n"
    "       morvadb import PATH TABLE FILE.csv    load CSV rows into TABLE\n"
    "       morvadb stats PATH                    print tables, memtables, levels and files\n"
    "PATH is a path prefix: the database's files are PATH.wal, PATH.system, PATH.sst.L.N ...\n";

}  // namespace

int main(int argc, char **argv) {
    using namespace morva::cli;
    std::ios::sync_with_stdio(false);
    if (argc < 2) {
        std::cerr << kUsage;
        return 2;
    }
    const std::string command = argv[1];
    if (command == "demo" && argc <= 3) return run_demo(argc == 3 ? argv[2] : "morvadb-demo");
    if (command == "shell" && argc == 3) return run_shell(argv[2]);
    if (command == "import" && argc == 5) return run_import(argv[2], argv[3], argv[4]);
    if (command == "stats" && argc == 3) return run_stats(argv[2]);
    if (command == "help" || command == "--help" || command == "-h") {
        std::cout << kUsage;
        return 0;
    }
    std::cerr << kUsage;
    return 2;
}
