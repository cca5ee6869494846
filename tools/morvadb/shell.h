// The interactive shell of `morvadb shell PATH`.
#pragma once

#include <iosfwd>
#include <string>

#include "commands.h"
#include "session.h"

namespace morva::cli {

class Shell {
public:
    Shell(Session &session, std::ostream &out, std::ostream &err) : session_(session), out_(out), err_(err) {}

    // Runs one command line. Returns false when the line asks to quit.
    bool execute(const std::string &line);

    // Errors reported so far.
    int errors() const { return errors_; }
    // Prefix errors with this line number (scripts); 0 for none.
    void set_line_number(uint64_t n) { line_number_ = n; }
    void set_history(const std::vector<std::string> *history) { history_ = history; }

private:
    void error(const std::string &message);
    void report(const Outcome &o);
    void print(const Grid &grid);

    void create(const std::vector<Token> &t);
    void put(const std::vector<Token> &t);
    void get_or_delete(const std::vector<Token> &t, bool remove);
    void select(const std::vector<Token> &t);
    void index(const std::vector<Token> &t);
    void search(const std::string &line, const std::vector<Token> &t, const std::string &kind);
    void dot_command(const std::vector<Token> &t);
    std::optional<TableInfo> find_table(const std::vector<Token> &t, size_t at);

    Session &session_;
    std::ostream &out_;
    std::ostream &err_;
    int errors_ = 0;
    uint64_t line_number_ = 0;
    const std::vector<std::string> *history_ = nullptr;
};

}  // namespace morva::cli
