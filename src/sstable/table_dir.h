// Locating the sorted table files of a database path prefix: splitting the
// prefix into directory and base name, and reading the level and sequence
// out of names written as "<base>.sst.<level>.<sequence>".
#pragma once

#include <cstdint>
#include <string>

namespace morva {

struct PrefixParts {
    std::string dir;   // directory to list; "." when the prefix has no "/"
    std::string base;  // file name part of the prefix
    bool has_slash = false;
};

PrefixParts split_prefix(const char *prefix);

// Path of a directory entry: the bare name without a "/" in the prefix,
// otherwise dir + "/" + name.
std::string join_path(const PrefixParts &parts, const char *name, bool bare);

// True for regular files and links; false for directories (stat when the
// directory listing does not say).
bool is_listable_file(const std::string &dir, const char *name, unsigned char d_type);

// Leading decimal digits of text as a signed 64-bit number, saturating at
// the largest value; 0 when text does not start with a digit.
int64_t leading_decimal(const char *text);

// For "<base>.sst.<level>.<rest>": true, with *level and the text after the
// dot that ends the level (the level is read as a signed decimal that must
// be followed by "."). False for any other name.
bool parse_table_name(const std::string &base, const char *name, int64_t *level, const char **rest);

// True when name ends in ".tmp": a file a writer has not renamed into place.
bool is_temporary_name(const char *name);

}  // namespace morva
