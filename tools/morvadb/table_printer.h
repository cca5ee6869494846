// Aligned text tables for query and search results:
//
//    id | name  | age
//   ----+-------+-----
//     1 | ada   |  36
//   (1 row)
//
// Cells are sanitised (control bytes shown as escapes) and measured in
// terminal columns, so wide characters and long values keep the grid aligned.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace morva::cli {

// Terminal columns taken by a UTF-8 text: East Asian wide characters count
// two, combining marks none, every other character one.
size_t display_width(std::string_view text);

// Makes a value printable on one line: newlines, tabs and other control
// bytes become backslash escapes, invalid UTF-8 bytes become \xNN.
std::string printable(std::string_view text);

class TablePrinter {
public:
    // right_align[i] aligns column i to the right (numbers); missing entries
    // mean left. Cells wider than max_width are cut and end in "...".
    explicit TablePrinter(std::vector<std::string> headers, std::vector<bool> right_align = {},
                          size_t max_width = 80);

    void add_row(std::vector<std::string> cells);
    size_t row_count() const { return rows_.size(); }

    // The table, followed by a "(N rows)" line when footer is set.
    std::string render(bool footer = true) const;

private:
    std::vector<std::string> headers_;
    std::vector<bool> right_align_;
    size_t max_width_;
    std::vector<std::vector<std::string>> rows_;
};

}  // namespace morva::cli
