// A fresh directory per test, removed afterwards, and whole-file helpers.
#pragma once

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

class test_dir {
public:
    test_dir() {
        static std::atomic<int> serial{0};
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string leaf = std::string("qc-") + (info ? info->name() : "test") + "-" +
                           std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                           std::to_string(serial++);
        path_ = std::filesystem::temp_directory_path() / leaf;
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
        text_ = utf8(path_);
    }
    ~test_dir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    test_dir(const test_dir&) = delete;
    test_dir& operator=(const test_dir&) = delete;

    std::string str() const { return text_; }
    const char* c_str() const { return text_.c_str(); }
    std::string file(const std::string& name) const { return utf8(path_ / name); }
    std::string store() const { return file("crontab.json"); }

    // Names of the entries, sorted, but the lock file an instance keeps there
    // for its whole life.
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(path_)) {
            if (e.path().filename() != "crontab.lock") names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    // Paths as the library takes them: UTF-8 text (paths are wide on Windows).
    static std::string utf8(const std::filesystem::path& p) {
        std::u8string s = p.u8string();
        return std::string(s.begin(), s.end());
    }

    std::filesystem::path path_;
    std::string text_;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}
