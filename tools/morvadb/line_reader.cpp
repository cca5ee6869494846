#include "line_reader.h"

#include "table_printer.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iostream>

namespace morva::cli {
namespace {

constexpr size_t kMaxHistory = 1000;

// Puts the terminal into raw mode for the lifetime of the object.
class RawMode {
public:
    RawMode() {
        if (tcgetattr(STDIN_FILENO, &saved_) != 0) return;
        termios raw = saved_;
        raw.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
        raw.c_cflag |= CS8;
        raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN | ISIG);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        active_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) == 0;
    }
    ~RawMode() {
        if (active_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
    }
    bool active() const { return active_; }

private:
    termios saved_{};
    bool active_ = false;
};

int read_byte() {
    unsigned char c = 0;
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n == 1) return c;
        if (n < 0 && errno == EINTR) continue;
        return -1;
    }
}

void write_out(const std::string &s) {
    size_t done = 0;
    while (done < s.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, s.data() + done, s.size() - done);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return;
        }
        done += static_cast<size_t>(n);
    }
}

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Terminal columns taken by the first end bytes of text.
size_t columns(const std::string &text, size_t end) {
    return display_width(std::string_view(text).substr(0, std::min(end, text.size())));
}

}  // namespace

LineReader::LineReader() { interactive_ = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO); }

LineReader::~LineReader() = default;

void LineReader::add_history(const std::string &line) {
    if (line.empty() || (!history_.empty() && history_.back() == line)) return;
    history_.push_back(line);
    if (history_.size() > kMaxHistory) history_.erase(history_.begin());
}

bool LineReader::read(const std::string &prompt, std::string &line) {
    if (!interactive_) return read_plain(line);
    return read_edited(prompt, line);
}

bool LineReader::read_plain(std::string &line) {
    if (!std::getline(std::cin, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

bool LineReader::read_edited(const std::string &prompt, std::string &line) {
    RawMode raw;
    if (!raw.active()) {
        write_out(prompt);
        return read_plain(line);
    }
    line.clear();
    size_t cursor = 0;                      // byte offset in line
    size_t history_pos = history_.size();  // == size(): the line being typed
    std::string typed;                      // the line being typed while browsing history

    const auto refresh = [&] {
        std::string s = "\r" + prompt + line + "\x1b[K";
        const size_t back = columns(line, line.size()) - columns(line, cursor);
        if (back > 0) s += "\x1b[" + std::to_string(back) + "D";
        write_out(s);
    };
    const auto show_history = [&](size_t pos) {
        if (history_pos == history_.size()) typed = line;
        history_pos = pos;
        line = pos == history_.size() ? typed : history_[pos];
        cursor = line.size();
        refresh();
    };
    const auto left = [&] {
        while (cursor > 0) {
            cursor--;
            if (!is_continuation(line[cursor])) break;
        }
    };
    const auto right = [&] {
        while (cursor < line.size()) {
            cursor++;
            if (cursor == line.size() || !is_continuation(line[cursor])) break;
        }
    };

    refresh();
    for (;;) {
        const int c = read_byte();
        if (c < 0) {
            write_out("\r\n");
            return !line.empty();
        }
        switch (c) {
            case '\r':
            case '\n':
                write_out("\r\n");
                return true;
            case 4:  // Ctrl-D: end of input on an empty line, else delete
                if (line.empty()) {
                    write_out("\r\n");
                    return false;
                }
                if (cursor < line.size()) {
                    size_t end = cursor;
                    do end++; while (end < line.size() && is_continuation(line[end]));
                    line.erase(cursor, end - cursor);
                }
                break;
            case 3:  // Ctrl-C: abandon the line
                write_out("^C\r\n");
                line.clear();
                cursor = 0;
                history_pos = history_.size();
                break;
            case 127:
            case 8: {  // Backspace
                const size_t end = cursor;
                left();
                line.erase(cursor, end - cursor);
                break;
            }
            case 1: cursor = 0; break;                // Ctrl-A
            case 5: cursor = line.size(); break;      // Ctrl-E
            case 2: left(); break;                    // Ctrl-B
            case 6: right(); break;                   // Ctrl-F
            case 11: line.erase(cursor); break;       // Ctrl-K
            case 21: line.erase(0, cursor), cursor = 0; break;  // Ctrl-U
            case 23: {                                // Ctrl-W: delete the previous word
                const size_t end = cursor;
                while (cursor > 0 && line[cursor - 1] == ' ') cursor--;
                while (cursor > 0 && line[cursor - 1] != ' ') cursor--;
                line.erase(cursor, end - cursor);
                break;
            }
            case 12: write_out("\x1b[H\x1b[2J"); break;  // Ctrl-L
            case 16: if (history_pos > 0) show_history(history_pos - 1); break;  // Ctrl-P
            case 14: if (history_pos < history_.size()) show_history(history_pos + 1); break;  // Ctrl-N
            case 27: {  // escape sequences of arrows, Home, End, Delete
                const int a = read_byte();
                if (a != '[' && a != 'O') break;
                int b = read_byte();
                if (b >= '0' && b <= '9') {
                    const int tilde = read_byte();
                    if (tilde != '~') break;
                    if (b == '3' && cursor < line.size()) {
                        size_t end = cursor;
                        do end++; while (end < line.size() && is_continuation(line[end]));
                        line.erase(cursor, end - cursor);
                    } else if (b == '1' || b == '7') {
                        cursor = 0;
                    } else if (b == '4' || b == '8') {
                        cursor = line.size();
                    }
                    break;
                }
                if (b == 'A' && history_pos > 0) show_history(history_pos - 1);
                if (b == 'B' && history_pos < history_.size()) show_history(history_pos + 1);
                if (b == 'C') right();
                if (b == 'D') left();
                if (b == 'H') cursor = 0;
                if (b == 'F') cursor = line.size();
                break;
            }
            default:
                if (c >= 32 || c == '\t') {
                    line.insert(cursor, 1, c == '\t' ? ' ' : static_cast<char>(c));
                    cursor++;
                }
                break;
        }
        refresh();
    }
}

}  // namespace morva::cli
