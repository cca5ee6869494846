#include "csv_reader.h"

namespace morva::cli {

int CsvReader::get() {
    const int c = in_.get();
    if (c == std::char_traits<char>::eof()) return -1;
    bytes_++;
    if (c == '\n') line_++;
    return c;
}

bool CsvReader::next(std::vector<std::string> &fields) {
    fields.clear();
    malformed_ = false;
    int c = get();
    std::string field;
    if (!started_) {
        started_ = true;
        // A UTF-8 byte order mark before the first record is not data.
        if (c == 0xEF && in_.peek() == 0xBB) {
            get();
            if (in_.peek() == 0xBF) {
                get();
                c = get();
            } else {
                field = "\xEF\xBB";
                c = get();
            }
        }
    }
    if (c < 0 && field.empty()) return false;
    record_line_ = line_ - (c == '\n' ? 1 : 0);
    bool quoted = false;  // inside a quoted section
    for (;; c = get()) {
        if (c < 0) {
            if (quoted) malformed_ = true;
            fields.push_back(std::move(field));
            return true;
        }
        if (quoted) {
            if (c == '"') {
                if (in_.peek() == '"') {
                    get();
                    field.push_back('"');
                } else {
                    quoted = false;
                }
            } else {
                field.push_back(static_cast<char>(c));
            }
            continue;
        }
        if (c == '"') {
            quoted = true;
        } else if (c == separator_) {
            fields.push_back(std::move(field));
            field.clear();
        } else if (c == '\n') {
            fields.push_back(std::move(field));
            return true;
        } else if (c == '\r' && in_.peek() == '\n') {
            // CRLF: the LF ends the record on the next turn.
        } else {
            field.push_back(static_cast<char>(c));
        }
    }
}

}  // namespace morva::cli
