// Scratch files for the capture tests: a private directory removed afterwards,
// and helpers to write and read whole files.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

class CaptureDir : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tolvane_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    std::string write_file(const std::string &name, const std::vector<unsigned char> &bytes) const {
        const std::string p = path(name);
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
        return p;
    }
    std::string write_text(const std::string &name, const std::string &text) const {
        return write_file(name, std::vector<unsigned char>(text.begin(), text.end()));
    }
    static std::vector<unsigned char> read_file(const std::string &p) {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::string dir_;
};
