// A streaming reader of comma-separated records: fields may be enclosed in
// double quotes, inside which a doubled quote stands for one quote and commas
// and line breaks are ordinary characters. Lines end in LF or CRLF; a UTF-8
// byte order mark at the start is skipped.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace morva::cli {

class CsvReader {
public:
    explicit CsvReader(std::istream &in, char separator = ',') : in_(in), separator_(separator) {}

    // Reads the next record into fields. Returns false at the end of input.
    // A quote left open at the end of input still yields the record, with
    // malformed() true for it.
    bool next(std::vector<std::string> &fields);

    bool malformed() const { return malformed_; }
    // 1-based line on which the record last returned by next() started.
    uint64_t line() const { return record_line_; }
    // Bytes consumed so far (for progress reports).
    uint64_t bytes_read() const { return bytes_; }

private:
    int get();

    std::istream &in_;
    char separator_;
    bool malformed_ = false;
    bool started_ = false;
    uint64_t line_ = 1;
    uint64_t record_line_ = 0;
    uint64_t bytes_ = 0;
};

}  // namespace morva::cli
