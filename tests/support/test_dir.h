// Test helpers: a fresh working directory per test (files are opened by relative name), and whole
// file reads and writes for comparing bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Creates a unique empty directory, makes it the current directory, and on destruction goes back
// and removes it.
class ScopedTestDir {
public:
    ScopedTestDir();
    ~ScopedTestDir();
    ScopedTestDir(const ScopedTestDir &) = delete;
    ScopedTestDir &operator=(const ScopedTestDir &) = delete;
    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path previous_;
    std::filesystem::path path_;
};

std::vector<std::uint8_t> read_whole_file(const std::string &name);
void write_whole_file(const std::string &name, const std::vector<std::uint8_t> &bytes);
bool file_exists(const std::string &name);
