// Files by relative name: create, exact reads and writes, sharing, append, replace, injected faults.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/file.h"
#include "support/test_dir.h"

namespace {

std::vector<std::uint8_t> bytes(const char *text) {
    return std::vector<std::uint8_t>(text, text + std::char_traits<char>::length(text));
}

TEST(File, OpenForReadingCreatesAnEmptyFile) {
    ScopedTestDir dir;
    File *file = file_open_read("new.dat");
    ASSERT_NE(file, nullptr);
    std::int64_t size = -1;
    EXPECT_EQ(file_size(file, &size), 0);
    EXPECT_EQ(size, 0);
    char buffer[8];
    std::uint32_t count = 99;
    EXPECT_EQ(file_read(file, buffer, sizeof buffer, &count), 0);
    EXPECT_EQ(count, 0u);
    file_close(file);
    EXPECT_TRUE(file_exists("new.dat"));
    file_close(nullptr);
}

TEST(File, WritesAndReadsExactBytes) {
    ScopedTestDir dir;
    std::vector<std::uint8_t> data(70000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    write_whole_file("old.dat", bytes("previous content that must go"));

    File *file = file_create_write("old.dat");  // always a new empty file
    ASSERT_NE(file, nullptr);
    std::uint32_t count = 0;
    EXPECT_EQ(file_write(file, data.data(), static_cast<std::uint32_t>(data.size()), &count), 0);
    EXPECT_EQ(count, data.size());
    EXPECT_EQ(file_flush(file), 0);
    file_close(file);
    EXPECT_EQ(read_whole_file("old.dat"), data);

    file = file_open_read("old.dat");
    ASSERT_NE(file, nullptr);
    std::int64_t size = 0;
    EXPECT_EQ(file_size(file, &size), 0);
    EXPECT_EQ(size, 70000);
    std::vector<std::uint8_t> back(100000);
    EXPECT_EQ(file_read(file, back.data(), 1000, &count), 0);
    EXPECT_EQ(count, 1000u);
    EXPECT_EQ(file_read(file, back.data() + 1000, 99000, &count), 0);
    EXPECT_EQ(count, 69000u);  // short at the end of the file
    back.resize(70000);
    EXPECT_EQ(back, data);
    file_close(file);
}

TEST(File, NoSharingMakesASecondOpenFail) {
    ScopedTestDir dir;
    File *first = file_open_read("locked.dat");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(file_open_read("locked.dat"), nullptr);
    EXPECT_EQ(file_create_write("locked.dat"), nullptr);
    EXPECT_EQ(file_open_append("locked.dat"), nullptr);
    file_close(first);

    File *writer = file_open_append("locked.dat");
    ASSERT_NE(writer, nullptr);
    EXPECT_EQ(file_open_append("locked.dat"), nullptr);  // a second writer waits its turn
    file_close(writer);
    File *again = file_open_append("locked.dat");
    EXPECT_NE(again, nullptr);
    file_close(again);
}

TEST(File, AHeldOpenIsToldFromAFailedOne) {
    ScopedTestDir dir;
    std::int32_t held = -1;
    File *first = file_open_read("shared.dat", &held);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(held, 0);
    EXPECT_EQ(file_open_read("shared.dat", &held), nullptr);
    EXPECT_EQ(held, 1);
    file_close(first);
    EXPECT_EQ(file_open_read("no-such-folder/x.dat", &held), nullptr);
    EXPECT_EQ(held, 0);
}

// One holder at a time, whether the other try comes from this thread or another; the lock file
// stays when the lock goes.
TEST(File, ALockHasOneHolderAtATime) {
    ScopedTestDir dir;
    FileLock *lock = nullptr;
    ASSERT_EQ(file_lock_try("x.lock", &lock), FILE_LOCK_TAKEN);
    ASSERT_NE(lock, nullptr);
    FileLock *second = nullptr;
    EXPECT_EQ(file_lock_try("x.lock", &second), FILE_LOCK_HELD);
    EXPECT_EQ(second, nullptr);
    std::atomic<int> other{-2};
    std::thread([&] {
        FileLock *mine = nullptr;
        other = file_lock_try("x.lock", &mine);
        file_unlock(mine);
    }).join();
    EXPECT_EQ(other.load(), FILE_LOCK_HELD);
    EXPECT_EQ(file_lock_try("y.lock", &second), FILE_LOCK_TAKEN);  // another lock is another lock
    file_unlock(second);

    file_unlock(lock);
    EXPECT_TRUE(file_exists("x.lock"));
    std::thread([&] {
        FileLock *mine = nullptr;
        other = file_lock_try("x.lock", &mine);
        file_unlock(mine);
    }).join();
    EXPECT_EQ(other.load(), FILE_LOCK_TAKEN);
    EXPECT_EQ(file_lock_try("no-such-folder/x.lock", &second), FILE_LOCK_FAILED);
    EXPECT_EQ(second, nullptr);
    file_unlock(nullptr);
}

TEST(File, AppendAddsAtTheEnd) {
    ScopedTestDir dir;
    for (const char *line : {"one\r\n", "two\r\n", "three\r\n"}) {
        File *file = file_open_append("log.txt");
        ASSERT_NE(file, nullptr);
        std::uint32_t count = 0;
        std::uint32_t length = static_cast<std::uint32_t>(std::char_traits<char>::length(line));
        EXPECT_EQ(file_write(file, line, length, &count), 0);
        EXPECT_EQ(count, length);
        file_close(file);
    }
    EXPECT_EQ(read_whole_file("log.txt"), bytes("one\r\ntwo\r\nthree\r\n"));
}

TEST(File, ReplaceRenamesOverTheTarget) {
    ScopedTestDir dir;
    write_whole_file("target", bytes("old"));
    write_whole_file("source", bytes("new"));
    EXPECT_EQ(file_replace("source", "target"), 0);
    EXPECT_EQ(read_whole_file("target"), bytes("new"));
    EXPECT_FALSE(file_exists("source"));
    EXPECT_EQ(file_replace("missing", "target"), -1);
    EXPECT_EQ(read_whole_file("target"), bytes("new"));
    EXPECT_EQ(file_delete("target"), 0);
    EXPECT_EQ(file_delete("target"), -1);
}

TEST(File, FailsWhereTheFolderIsMissing) {
    ScopedTestDir dir;
    EXPECT_EQ(file_open_read("no-such-folder/x.dat"), nullptr);
    EXPECT_EQ(file_create_write("no-such-folder/x.dat"), nullptr);
    EXPECT_EQ(file_open_append("no-such-folder/x.dat"), nullptr);
}

TEST(File, InjectedFailureHitsTheNthCall) {
    ScopedTestDir dir;
    file_fail_call(2);
    File *file = file_create_write("f.dat");  // call 1 succeeds
    ASSERT_NE(file, nullptr);
    std::uint32_t count = 0;
    EXPECT_EQ(file_write(file, "abc", 3, &count), -1);  // call 2 fails
    EXPECT_EQ(file_write(file, "abc", 3, &count), 0);   // then all is well again
    EXPECT_EQ(count, 3u);
    file_close(file);
    file_fail_call(0);
}

}  // namespace
