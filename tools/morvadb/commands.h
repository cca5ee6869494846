// The subcommands of the morvadb program; each returns the exit code.
#pragma once

#include <string>

namespace morva::cli {

int run_demo(const std::string &dir);
int run_shell(const std::string &path);
int run_import(const std::string &path, const std::string &table, const std::string &csv_file);
int run_stats(const std::string &path);

}  // namespace morva::cli
