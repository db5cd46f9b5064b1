// NORVEX.DAT: creation with defaults, the size rules, byte-for-byte round trips, failed saves.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/file.h"
#include "settings/port_list.h"
#include "settings/settings_file.h"
#include "support/settings_fixtures.h"
#include "support/test_dir.h"

namespace {

constexpr std::size_t OPTIONS_SIZE = 1792;
constexpr std::size_t PORT_SIZE = 8448;

class SettingsFile : public ::testing::Test {
protected:
    void TearDown() override { port_list_clear(); }
    ScopedTestDir dir;
    std::mt19937 random{12345};
};

// The files a save may leave in the directory besides the ones the test made: the lock file only.
std::vector<std::string> files_beside(const std::vector<std::string> &made) {
    std::vector<std::string> others;
    for (const auto &entry : std::filesystem::directory_iterator(".")) {
        std::string name = entry.path().filename().string();
        if (std::find(made.begin(), made.end(), name) == made.end()) others.push_back(name);
    }
    std::sort(others.begin(), others.end());
    return others;
}

std::vector<std::uint8_t> file_of(const std::vector<std::vector<std::uint8_t>> &records) {
    std::vector<std::uint8_t> bytes;
    for (const auto &record : records) bytes.insert(bytes.end(), record.begin(), record.end());
    return bytes;
}

TEST_F(SettingsFile, MissingOrShortFileIsReplacedByDefaults) {
    ASSERT_TRUE(load_settings("NORVEX.DAT", nullptr));
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), default_file_bytes());
    EXPECT_EQ(port_list.port_count, 0);
    EXPECT_EQ(port_list.head, nullptr);
    EXPECT_NE(port_list.list_guard, nullptr);
    GlobalOptions options;
    options_get(&options);
    EXPECT_EQ(options.telnet_port, 23);
    EXPECT_STREQ(options.greeting_message, "*** CONNECT NORVEX\r\n");

    for (std::size_t size : {std::size_t{0}, std::size_t{1}, OPTIONS_SIZE - 1}) {
        std::vector<std::uint8_t> junk(size, 0xA5);
        write_whole_file("NORVEX.DAT", junk);
        ASSERT_TRUE(load_settings("NORVEX.DAT", nullptr)) << size;
        EXPECT_EQ(read_whole_file("NORVEX.DAT"), default_file_bytes()) << size;
        EXPECT_EQ(port_list.port_count, 0);
    }
}

TEST_F(SettingsFile, OptionsOnlyFileLoadsNoPortAndSavesBack) {
    std::vector<std::uint8_t> options = random_options_bytes(random);
    write_whole_file("NORVEX.DAT", options);
    ASSERT_TRUE(load_settings("NORVEX.DAT", nullptr));
    EXPECT_EQ(port_list.port_count, 0);
    GlobalOptions loaded;
    options_get(&loaded);
    EXPECT_EQ(std::memcmp(&loaded, options.data(), OPTIONS_SIZE), 0);
    std::filesystem::remove("NORVEX.DAT");
    ASSERT_TRUE(save_settings("NORVEX.DAT"));
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), options);
}

TEST_F(SettingsFile, RoundTripKeepsEveryByteIncludingReserved) {
    std::vector<std::uint8_t> original =
        file_of({random_options_bytes(random), random_port_bytes(random, "COM3"),
                 random_port_bytes(random, "COM1"), random_port_bytes(random, "COM10")});
    write_whole_file("NORVEX.DAT", original);
    ASSERT_TRUE(load_settings("NORVEX.DAT", nullptr));
    ASSERT_EQ(port_list.port_count, 3);
    EXPECT_STREQ(port_list_at(0)->settings.port_name, "COM3");
    EXPECT_STREQ(port_list_at(2)->settings.port_name, "COM10");
    ASSERT_TRUE(save_settings("NORVEX.DAT"));
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), original);
    EXPECT_EQ(files_beside({"NORVEX.DAT"}), std::vector<std::string>{"NORVEX.DAT.lock"});
}

TEST_F(SettingsFile, SizeThatIsNotWholeRecordsFailsAndLeavesTheListEmpty) {
    std::vector<std::uint8_t> bytes =
        file_of({random_options_bytes(random), random_port_bytes(random, "COM1"),
                 random_port_bytes(random, "COM2"), {0x42}});
    ASSERT_EQ(bytes.size(), OPTIONS_SIZE + 2 * PORT_SIZE + 1);
    write_whole_file("NORVEX.DAT", bytes);
    EXPECT_FALSE(load_settings("NORVEX.DAT", nullptr));
    EXPECT_EQ(port_list.port_count, 0);
    EXPECT_EQ(port_list.head, nullptr);
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), bytes);  // a failed load writes nothing
}

TEST_F(SettingsFile, SavesOptionsThenRecordsInListOrder) {
    ASSERT_TRUE(load_settings("NORVEX.DAT", nullptr));
    ASSERT_TRUE(save_settings("NORVEX.DAT"));
    EXPECT_EQ(read_whole_file("NORVEX.DAT").size(), OPTIONS_SIZE);

    for (const char *name : {"COM2", "COM7", "COM1"}) {
        PortSettings port = make_port(name);
        ASSERT_TRUE(port_list_add(&port));
    }
    ASSERT_TRUE(port_list_swap_next(0));  // COM7, COM2, COM1
    ASSERT_TRUE(save_settings("NORVEX.DAT"));
    std::vector<std::uint8_t> bytes = read_whole_file("NORVEX.DAT");
    ASSERT_EQ(bytes.size(), 27136u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&bytes[OPTIONS_SIZE])), "COM7");
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&bytes[OPTIONS_SIZE + PORT_SIZE])), "COM2");
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&bytes[OPTIONS_SIZE + 2 * PORT_SIZE])),
              "COM1");
    PortSettings second;
    std::memcpy(&second, &bytes[OPTIONS_SIZE + PORT_SIZE], sizeof second);
    PortSettings expected = make_port("COM2");
    EXPECT_EQ(std::memcmp(&second, &expected, sizeof second), 0);
}

TEST_F(SettingsFile, FailedSaveLeavesTheOldFileWhole) {
    std::vector<std::uint8_t> original =
        file_of({random_options_bytes(random), random_port_bytes(random, "COM1"),
                 random_port_bytes(random, "COM2")});
    write_whole_file("NORVEX.DAT", original);
    ASSERT_TRUE(load_settings("NORVEX.DAT", nullptr));
    PortSettings extra = make_port("COM9");
    ASSERT_TRUE(port_list_add(&extra));

    // Fail each file call of the save in turn; past the last one the save succeeds.
    bool saved = false;
    for (std::int32_t n = 1; n < 50 && !saved; ++n) {
        file_fail_call(n);
        saved = save_settings("NORVEX.DAT");
        file_fail_call(0);
        if (!saved) {
            EXPECT_EQ(read_whole_file("NORVEX.DAT"), original) << "failing call " << n;
            EXPECT_EQ(files_beside({"NORVEX.DAT", "NORVEX.DAT.lock"}), std::vector<std::string>{})
                << "failing call " << n;
        }
    }
    ASSERT_TRUE(saved);
    EXPECT_EQ(read_whole_file("NORVEX.DAT").size(), OPTIONS_SIZE + 3 * PORT_SIZE);
}

TEST_F(SettingsFile, EveryFailingFileCallFailsTheLoadCleanly) {
    std::vector<std::uint8_t> original =
        file_of({random_options_bytes(random), random_port_bytes(random, "COM1"),
                 random_port_bytes(random, "COM2")});
    write_whole_file("NORVEX.DAT", original);
    bool loaded = false;
    for (std::int32_t n = 1; n < 50 && !loaded; ++n) {
        file_fail_call(n);
        loaded = load_settings("NORVEX.DAT", nullptr);
        file_fail_call(0);
        if (!loaded) {
            EXPECT_EQ(port_list.port_count, 0) << "failing call " << n;
            EXPECT_EQ(port_list.head, nullptr) << "failing call " << n;
        }
    }
    ASSERT_TRUE(loaded);
    EXPECT_EQ(port_list.port_count, 2);
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), original);
}

// A load while another program holds the file waits for it, and then reads what that program
// left; one held past the wait fails and touches nothing.
TEST_F(SettingsFile, ALoadWaitsForAHolderOfTheFile) {
    std::vector<std::uint8_t> before =
        file_of({random_options_bytes(random), random_port_bytes(random, "COM1")});
    std::vector<std::uint8_t> after = before;
    std::vector<std::uint8_t> more = random_port_bytes(random, "COM2");
    after.insert(after.end(), more.begin(), more.end());
    // Held open (another program's sharing), then by the lock that every editor takes.
    for (bool by_lock : {false, true}) {
        write_whole_file("NORVEX.DAT", before);
        std::int32_t why = 0;
        SettingsLock *lock = by_lock ? settings_lock("NORVEX.DAT", false, &why) : nullptr;
        File *holder = by_lock ? nullptr : file_open_read("NORVEX.DAT");
        ASSERT_TRUE(lock != nullptr || holder != nullptr);
        std::atomic<int> loaded{-1};
        std::thread loader([&] { loaded = load_settings("NORVEX.DAT", nullptr) ? 1 : 0; });
        // Whether or not the loader has begun to wait, what it must load is what the holder saves.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(loaded.load(), -1) << by_lock;
        if (by_lock) {
            SettingsImage image;
            image.ports.resize(2);
            std::memcpy(&image.options, after.data(), OPTIONS_SIZE);
            std::memcpy(&image.ports[0], after.data() + OPTIONS_SIZE, PORT_SIZE);
            std::memcpy(&image.ports[1], after.data() + OPTIONS_SIZE + PORT_SIZE, PORT_SIZE);
            ASSERT_TRUE(settings_image_write_held(lock, &image));
            settings_unlock(lock);
        } else {
            file_close(holder);
        }
        loader.join();
        EXPECT_EQ(loaded.load(), 1) << by_lock;
        EXPECT_EQ(port_list.port_count, by_lock ? 2 : 1) << by_lock;
        port_list_clear();
    }

    settings_lock_set_wait_ms(300);
    std::int32_t why = 0;
    SettingsLock *lock = settings_lock("NORVEX.DAT", false, &why);
    ASSERT_NE(lock, nullptr);
    EXPECT_FALSE(load_settings("NORVEX.DAT", nullptr));
    EXPECT_FALSE(save_settings("NORVEX.DAT"));
    EXPECT_EQ(settings_lock("NORVEX.DAT", true, &why), nullptr);
    EXPECT_EQ(why, SETTINGS_HELD);
    settings_unlock(lock);
    File *holder = file_open_read("NORVEX.DAT");
    ASSERT_NE(holder, nullptr);
    EXPECT_FALSE(load_settings("NORVEX.DAT", nullptr));
    file_close(holder);
    settings_lock_set_wait_ms(0);
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), after);
    EXPECT_TRUE(load_settings("NORVEX.DAT", nullptr));
}

#ifndef _WIN32
// The new file takes the old one's permissions (Windows gives the folder's to every new file).
TEST_F(SettingsFile, ASaveKeepsTheFileMode) {
    namespace fs = std::filesystem;
    ASSERT_TRUE(load_settings("NORVEX.DAT", nullptr));
    for (fs::perms mode : {fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read,
                           fs::perms::owner_read | fs::perms::owner_write}) {
        fs::permissions("NORVEX.DAT", mode);
        ASSERT_TRUE(save_settings("NORVEX.DAT"));
        EXPECT_EQ(fs::status("NORVEX.DAT").permissions(), mode);
        SettingsImage image;
        settings_options_defaults(&image.options);
        ASSERT_TRUE(settings_image_write("NORVEX.DAT", &image));
        EXPECT_EQ(fs::status("NORVEX.DAT").permissions(), mode);
    }
}
#endif

// Read, change, write under the lock from two threads at once: no change is lost.
TEST_F(SettingsFile, EditsUnderTheLockFromTwoThreadsLoseNothing) {
    SettingsImage image;
    settings_options_defaults(&image.options);
    image.ports = {make_port("COM1"), make_port("COM2")};
    ASSERT_TRUE(settings_image_write("NORVEX.DAT", &image));
    constexpr std::int32_t EDITS = 40;
    std::atomic<int> failures{0};
    auto edits = [&](std::size_t port) {
        for (std::int32_t i = 0; i < EDITS; ++i) {
            std::int32_t why = 0;
            SettingsLock *lock = settings_lock("NORVEX.DAT", false, &why);
            File *file = lock != nullptr ? settings_open(lock, &why) : nullptr;
            SettingsImage read;
            bool ok = file != nullptr && settings_image_read(file, &read) == IMAGE_READ_OK;
            file_close(file);
            if (ok) {
                read.ports[port].idle_timeout_s += 1;  // one more, counted from what was read
                ok = settings_image_write_held(lock, &read);
            }
            settings_unlock(lock);
            if (!ok) ++failures;
        }
    };
    std::thread first(edits, 0);
    std::thread second(edits, 1);
    first.join();
    second.join();
    EXPECT_EQ(failures.load(), 0);
    ASSERT_TRUE(load_settings("NORVEX.DAT", nullptr));
    EXPECT_EQ(port_list_at(0)->settings.idle_timeout_s, EDITS);
    EXPECT_EQ(port_list_at(1)->settings.idle_timeout_s, EDITS);
    EXPECT_EQ(files_beside({"NORVEX.DAT", "NORVEX.DAT.lock"}), std::vector<std::string>{});
}

// The image a tool reads and writes is the file the gateway loads and saves.
TEST_F(SettingsFile, ImageReadsAndWritesWhatLoadAndSaveDo) {
    std::vector<std::uint8_t> original =
        file_of({random_options_bytes(random), random_port_bytes(random, "COM1"),
                 random_port_bytes(random, "COM2"), random_port_bytes(random, "COM3")});
    write_whole_file("NORVEX.DAT", original);
    SettingsImage image;
    File *file = file_open_read("NORVEX.DAT");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(settings_image_read(file, &image), IMAGE_READ_OK);
    file_close(file);
    ASSERT_EQ(image.ports.size(), 3u);
    EXPECT_EQ(std::memcmp(&image.ports[2], original.data() + OPTIONS_SIZE + 2 * PORT_SIZE,
                          PORT_SIZE), 0);

    // Changed in the image and in the live list alike, both writers give the same bytes.
    image.options.telnet_port = 2424;
    image.ports[1].baud_rate = 1200;
    image.ports.erase(image.ports.begin());
    ASSERT_TRUE(settings_image_write("IMAGE.DAT", &image));
    ASSERT_TRUE(load_settings("NORVEX.DAT", nullptr));
    GlobalOptions options;
    options_get(&options);
    options.telnet_port = 2424;
    options_set(&options);
    PortSettings changed = port_list_at(1)->settings;
    changed.baud_rate = 1200;
    ASSERT_TRUE(port_list_update(port_list_at(1), &changed));
    ASSERT_TRUE(port_list_remove(0));
    ASSERT_TRUE(save_settings("NORVEX.DAT"));
    EXPECT_EQ(read_whole_file("IMAGE.DAT"), read_whole_file("NORVEX.DAT"));
    EXPECT_EQ(files_beside({"NORVEX.DAT", "NORVEX.DAT.lock", "IMAGE.DAT"}),
              std::vector<std::string>{"IMAGE.DAT.lock"});
}

TEST_F(SettingsFile, ImageOfAShortOrMalformedFile) {
    for (std::size_t size : {std::size_t{0}, OPTIONS_SIZE - 1}) {
        write_whole_file("NORVEX.DAT", std::vector<std::uint8_t>(size, 0x5A));
        SettingsImage image;
        image.ports.resize(2);
        File *file = file_open_read("NORVEX.DAT");
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(settings_image_read(file, &image), IMAGE_READ_NEW) << size;
        file_close(file);
        EXPECT_TRUE(image.ports.empty());
        ASSERT_TRUE(settings_image_write("NEW.DAT", &image));
        EXPECT_EQ(read_whole_file("NEW.DAT"), default_file_bytes()) << size;
        EXPECT_EQ(read_whole_file("NORVEX.DAT").size(), size);  // reading writes nothing
    }
    for (std::size_t size : {OPTIONS_SIZE + 1, OPTIONS_SIZE + PORT_SIZE - 1, OPTIONS_SIZE + 2 * PORT_SIZE + 7}) {
        write_whole_file("NORVEX.DAT", std::vector<std::uint8_t>(size, 0));
        SettingsImage image;
        File *file = file_open_read("NORVEX.DAT");
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(settings_image_read(file, &image), IMAGE_READ_MALFORMED) << size;
        file_close(file);
    }
}

TEST_F(SettingsFile, FailedImageWriteLeavesTheOldFileWhole) {
    std::vector<std::uint8_t> original =
        file_of({random_options_bytes(random), random_port_bytes(random, "COM1")});
    write_whole_file("NORVEX.DAT", original);
    SettingsImage image;
    settings_options_defaults(&image.options);
    image.ports.push_back(make_port("COM2"));
    bool written = false;
    for (std::int32_t n = 1; n < 20 && !written; ++n) {
        file_fail_call(n);
        written = settings_image_write("NORVEX.DAT", &image);
        file_fail_call(0);
        if (!written) {
            EXPECT_EQ(read_whole_file("NORVEX.DAT"), original) << "failing call " << n;
            EXPECT_EQ(files_beside({"NORVEX.DAT", "NORVEX.DAT.lock"}), std::vector<std::string>{})
                << "failing call " << n;
        }
    }
    ASSERT_TRUE(written);
    EXPECT_EQ(read_whole_file("NORVEX.DAT").size(), OPTIONS_SIZE + PORT_SIZE);
}

}  // namespace
