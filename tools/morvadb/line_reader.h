// Reads command lines with a history list. On a terminal it offers basic
// editing (arrows, Home/End, Backspace/Delete, Ctrl-A/E/K/U/W, history with
// Up/Down); otherwise it reads plain lines, so scripts can be piped in.
#pragma once

#include <string>
#include <vector>

namespace morva::cli {

class LineReader {
public:
    LineReader();
    ~LineReader();
    LineReader(const LineReader &) = delete;
    LineReader &operator=(const LineReader &) = delete;

    bool interactive() const { return interactive_; }

    // Reads one line without its line break. Returns false at the end of
    // input (Ctrl-D on an empty line).
    bool read(const std::string &prompt, std::string &line);

    void add_history(const std::string &line);
    const std::vector<std::string> &history() const { return history_; }

private:
    bool read_plain(std::string &line);
    bool read_edited(const std::string &prompt, std::string &line);

    bool interactive_ = false;
    std::vector<std::string> history_;
};

}  // namespace morva::cli
