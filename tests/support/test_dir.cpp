// Test helpers: scratch directories and whole-file access, through the standard library only so
// that they run the same natively and under wine.
#include "support/test_dir.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>

ScopedTestDir::ScopedTestDir() : previous_(std::filesystem::current_path()) {
    static std::atomic<int> serial{0};
    std::random_device seed;
    std::filesystem::path base = std::filesystem::temp_directory_path();
    for (;;) {
        path_ = base / ("norvex-test-" + std::to_string(seed()) + "-" + std::to_string(serial++));
        if (std::filesystem::create_directory(path_)) break;
    }
    std::filesystem::current_path(path_);
}

ScopedTestDir::~ScopedTestDir() {
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::uint8_t> read_whole_file(const std::string &name) {
    std::ifstream in(name, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>());
}

void write_whole_file(const std::string &name, const std::vector<std::uint8_t> &bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

bool file_exists(const std::string &name) { return std::filesystem::exists(name); }
