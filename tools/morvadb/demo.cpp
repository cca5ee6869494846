// `morvadb demo`: builds a small library of authors and books and shows a
// filtered, sorted, joined query, a full-text search, a search by meaning
// and a hybrid search, each printed as a table. The statements are run
// through the shell and echoed, so the output doubles as a tour of its
// commands.
#include <filesystem>
#include <iostream>
#include <system_error>

#include "commands.h"
#include "library_guard.h"
#include "shell.h"

namespace morva::cli {
namespace {

namespace fs = std::filesystem;

// The database's files are the prefix DIR/db plus a suffix; a rerun removes
// exactly those, so a directory holding anything else keeps it.
bool remove_old_database(const fs::path &dir, const std::string &stem, std::string &error) {
    std::error_code ec;
    if (!fs::exists(dir, ec)) {
        if (!fs::create_directories(dir, ec)) {
            error = "cannot create " + dir.string() + ": " + ec.message();
            return false;
        }
        return true;
    }
    if (!fs::is_directory(dir, ec)) {
        error = dir.string() + " exists and is not a directory";
        return false;
    }
    for (const auto &entry : fs::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.compare(0, stem.size() + 1, stem + ".") == 0 && entry.is_regular_file()) {
            fs::remove(entry.path(), ec);
            if (ec) {
                error = "cannot remove " + entry.path().string() + ": " + ec.message();
                return false;
            }
        }
    }
    if (ec) {
        error = "cannot read " + dir.string() + ": " + ec.message();
        return false;
    }
    return true;
}

const char *const kSetup[] = {
    "create authors id:int32 name:string country:string key id",
    "create books id:int32 title:string author_id:int32 year:int32 rating:double in_print:bool summary:string key id",
    "put authors 1 'Ada Reyes' Chile",
    "put authors 2 'Tomas Lind' Sweden",
    "put authors 3 'Mei Chen' China",
    "put authors 4 'Kofi Mensah' Ghana",
    "put authors 5 'Lena Novak' Czechia",
    "put books 101 'The Glass Orchard' 1 1962 4.3 true 'A family tends an orchard of glass trees through three "
    "generations of drought.'",
    "put books 102 'Salt and Signal' 2 1978 4.6 true 'A radio operator on a northern island hears messages from a "
    "ship lost at sea.'",
    "put books 103 'Quiet Machines' 3 1991 4.8 true 'A robot caretaker learns to paint while the city around it "
    "sleeps.'",
    "put books 104 'The Last Cartographer' 4 1955 3.9 false 'An old mapmaker walks the coast to chart an ocean that "
    "keeps moving.'",
    "put books 105 'Iron Lullaby' 3 2004 4.1 true 'Engineers build a thinking machine that refuses to stop singing.'",
    "put books 106 'Winter Ledger' 5 1949 3.7 false 'A bookkeeper uncovers a fraud in a frozen mountain town.'",
    "put books 107 'Deep Blue Choir' 2 1999 4.4 true 'Divers record whale songs in the deep ocean and find a hidden "
    "melody.'",
    "put books 108 'Paper Moons' 1 1971 4.0 true 'Two sisters run a travelling cinema across the desert.'",
    "put books 109 'Circuit Garden' 4 2015 4.7 true 'A botanist and an android grow a garden on a dying space "
    "station.'",
    "put books 110 'The Clockmaker''s Debt' 5 1932 3.5 false 'A clockmaker bargains with time itself to save his "
    "workshop.'",
    "put books 111 'Harbor of Stars' 3 2020 4.5 true 'Children on a space colony build a telescope from scrap.'",
    "put books 112 'Red Thread' 4 1987 4.2 true 'A tailor sews coded messages into coats during a long war.'",
};

struct Step {
    const char *title;
    const char *command;
};

const Step kSteps[] = {
    {"Books since 1950 rated 4.2 or better, best first, with their authors (filter, sort, limit, join)",
     "select title, year, rating, name, country from books where year >= 1950 and rating >= 4.2 "
     "order by rating desc limit 5 join authors on author_id = id"},
    {"Out-of-print books or books before 1950",
     "select id, title, year, in_print from books where in_print = false or year < 1950 order by year"},
    {"Index the summaries for searching", "index books summary"},
    {"Full-text search", "search books robot OR ocean"},
    {"Search by meaning (text embedder, nearest vectors)", "similar books machines that think and sing limit 3"},
    {"Hybrid search (vector and full-text rankings fused)", "hybrid books space station garden limit 3"},
};

}  // namespace

int run_demo(const std::string &dir_arg) {
    const fs::path dir(dir_arg);
    std::string error;
    if (!remove_old_database(dir, "db", error)) {
        std::cerr << "error: " << error << '\n';
        return 1;
    }
    const std::string path = (dir / "db").string();
    std::unique_ptr<Session> session;
    if (Outcome o = Session::open(path, session); !o.ok()) {
        std::cerr << "error: " << o.message << '\n';
        return 1;
    }
    std::cout << "Demo database at " << path << "\n\n";
    Shell shell(*session, std::cout, std::cerr);
    for (const char *command : kSetup) shell.execute(command);
    std::cout << "wrote 5 authors and 12 books\n";
    for (const Step &step : kSteps) {
        std::cout << "\n-- " << step.title << "\nmorvadb> " << step.command << '\n';
        shell.execute(step.command);
        std::cout.flush();
    }
    std::cout << "\nExplore it further with: morvadb shell " << path << '\n';
    return shell.errors() > 0 ? 1 : 0;
}

}  // namespace morva::cli
