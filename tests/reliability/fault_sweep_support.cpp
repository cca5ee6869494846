#include "reliability/fault_sweep.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace reliability {

void KeyModel::record(const std::string &key, const std::optional<std::string> &value, int32_t status) {
    Key &k = keys_[key];
    if (value) k.written.insert(*value);
    if (status == DB_OK) {
        k.acknowledged = value;
        k.uncertain.clear();
    } else {
        k.uncertain.push_back(value);
    }
}

std::optional<std::string> read_key(db_handle *db, const char *table, const std::string &key) {
    const void *value = nullptr;
    uint64_t length = 0;
    int32_t status = db_get(db, table, key.data(), key.size(), &value, &length);
    if (status == DB_OK) return std::string(static_cast<const char *>(value), length);
    EXPECT_EQ(status, DB_ERR_NOT_FOUND) << "db_get of " << key;
    return std::nullopt;
}

void KeyModel::expect_held_by(db_handle *db, const char *table) const {
    auto text = [](const std::optional<std::string> &v) { return v ? "\"" + v->substr(0, 24) + "\"" : "(absent)"; };
    for (const auto &[key, k] : keys_) {
        std::optional<std::string> held = read_key(db, table, key);
        bool allowed = held == k.acknowledged;
        for (const auto &u : k.uncertain) allowed = allowed || held == u;
        EXPECT_TRUE(allowed) << key << " holds " << text(held) << ", acknowledged " << text(k.acknowledged);
    }
}

void KeyModel::expect_only_written_values(db_handle *db, const char *table) const {
    for (const auto &[key, k] : keys_) {
        std::optional<std::string> held = read_key(db, table, key);
        EXPECT_TRUE(!held || k.written.count(*held) > 0) << key << " holds a value never written to it";
    }
}

std::vector<uint64_t> failure_points(const std::vector<std::string> &calls, bool collapse_runs) {
    std::vector<uint64_t> points;
    for (size_t i = 0; i < calls.size(); ++i) {
        bool inside_run = collapse_runs && i > 0 && i + 1 < calls.size() && calls[i - 1] == calls[i] &&
                          calls[i + 1] == calls[i];
        if (!inside_run) points.push_back(i + 1);
    }
    return points;
}

const std::vector<faults::Fault> &write_fault_kinds() {
    static const std::vector<faults::Fault> kinds = {faults::Fault::kIoError, faults::Fault::kNoSpace,
                                                     faults::Fault::kShortWrite};
    return kinds;
}

void copy_files(const std::string &from, const std::string &to) {
    std::filesystem::create_directories(to);
    for (const auto &entry : std::filesystem::directory_iterator(from)) {
        if (entry.is_regular_file())
            std::filesystem::copy_file(entry.path(), std::filesystem::path(to) / entry.path().filename());
    }
}

std::string describe_point(uint64_t point, const std::vector<std::string> &calls) {
    std::string call = point >= 1 && point <= calls.size() ? calls[point - 1] : "?";
    return "point " + std::to_string(point) + " of " + std::to_string(calls.size()) + ": " + call;
}

}  // namespace reliability
