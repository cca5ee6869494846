#include <gtest/gtest.h>

#include <sstream>

#include "csv_reader.h"
#include "table_printer.h"

namespace morva::cli {
namespace {

std::vector<std::vector<std::string>> read_all(const std::string &text, std::vector<bool> *malformed = nullptr,
                                               std::vector<uint64_t> *lines = nullptr) {
    std::istringstream in(text);
    CsvReader csv(in);
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> fields;
    while (csv.next(fields)) {
        records.push_back(fields);
        if (malformed) malformed->push_back(csv.malformed());
        if (lines) lines->push_back(csv.line());
    }
    EXPECT_EQ(csv.bytes_read(), text.size());
    return records;
}

using Records = std::vector<std::vector<std::string>>;

TEST(CsvReader, QuotesSeparatorsAndLineEnds) {
    std::vector<uint64_t> lines;
    const Records r = read_all("\xEF\xBB\xBFid,name\r\n1,\"Smith, \"\"Jo\"\"\"\n2,\"two\nlines\"\n\n3,\n", nullptr, &lines);
    EXPECT_EQ(r, (Records{{"id", "name"}, {"1", "Smith, \"Jo\""}, {"2", "two\nlines"}, {""}, {"3", ""}}));
    EXPECT_EQ(lines, (std::vector<uint64_t>{1, 2, 3, 5, 6}));
}

TEST(CsvReader, LastRecordWithoutLineBreakAndOpenQuote) {
    EXPECT_EQ(read_all("a,b\n1,2"), (Records{{"a", "b"}, {"1", "2"}}));
    std::vector<bool> malformed;
    EXPECT_EQ(read_all("a\n\"open,still", &malformed), (Records{{"a"}, {"open,still"}}));
    EXPECT_EQ(malformed, (std::vector<bool>{false, true}));
    EXPECT_TRUE(read_all("").empty());
    // A byte order mark alone is no record; a lone 0xEF is data.
    EXPECT_TRUE(read_all("\xEF\xBB\xBF").empty());
    EXPECT_EQ(read_all("\xEFx\n"), (Records{{"\xEFx"}}));
}

TEST(TablePrinter, AlignsColumnsAndCountsRows) {
    TablePrinter p({"id", "name"}, {true, false});
    p.add_row({"1", "ada"});
    p.add_row({"100", "grace hopper"});
    EXPECT_EQ(p.render(),
              " id  | name\n"
              "-----+--------------\n"
              "   1 | ada\n"
              " 100 | grace hopper\n"
              "(2 rows)\n");
    TablePrinter empty({"x"});
    EXPECT_EQ(empty.render(), " x\n---\n(0 rows)\n");
}

TEST(TablePrinter, WideCharactersControlBytesAndLongCells) {
    EXPECT_EQ(display_width("\xE4\xB8\xAD\xE6\x96\x87"), 4u);  // two CJK characters
    EXPECT_EQ(display_width("caf\xC3\xA9"), 4u);
    EXPECT_EQ(printable("a\nb\t\x01\xFF"), "a\\nb\\t\\x01\\xff");

    TablePrinter p({"v", "w"}, {}, 8);
    p.add_row({"\xE4\xB8\xAD\xE6\x96\x87", "x"});
    p.add_row({"abcdefghijkl", "y"});
    EXPECT_EQ(p.render(false),
              " v        | w\n"
              "----------+---\n"
              " \xE4\xB8\xAD\xE6\x96\x87     | x\n"
              " abcde... | y\n");
}

}  // namespace
}  // namespace morva::cli
