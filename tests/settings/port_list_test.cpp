// Port list operations: order, links, swaps, removal and clearing.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "settings/port_list.h"
#include "settings/settings_file.h"
#include "sim/background.h"
#include "support/settings_fixtures.h"
#include "support/test_dir.h"

namespace {

class PortListOps : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(load_settings("NORVEX.DAT", nullptr)); }
    void TearDown() override { port_list_clear(); }

    void add(std::initializer_list<const char *> names) {
        for (const char *name : names) {
            PortSettings port = make_port(name);
            ASSERT_TRUE(port_list_add(&port));
        }
    }

    // The names in list order, checked against the invariants on the way: the count matches the
    // chain, and neighbours point at each other.
    std::string names() {
        std::string result;
        const PortRecord *previous = nullptr;
        std::int32_t count = 0;
        for (const PortRecord *record = port_list.head; record != nullptr; record = record->next) {
            EXPECT_EQ(record->prev, previous);
            previous = record;
            ++count;
            if (!result.empty()) result += ",";
            result += record->settings.port_name;
        }
        EXPECT_EQ(count, port_list.port_count);
        return result;
    }

    ScopedTestDir dir;
};

TEST_F(PortListOps, AddAppendsAndPositionsFollowTheOrder) {
    add({"COM1", "COM2", "COM1", "COM10"});  // names are not checked: duplicates and COM10 load
    EXPECT_EQ(names(), "COM1,COM2,COM1,COM10");
    EXPECT_STREQ(port_list_at(1)->settings.port_name, "COM2");
    EXPECT_EQ(port_list_at(4), nullptr);
    EXPECT_EQ(port_list_at(-1), nullptr);
}

TEST_F(PortListOps, RemoveRelinksNeighbours) {
    add({"COM1", "COM2", "COM3", "COM4"});
    EXPECT_TRUE(port_list_remove(1));
    EXPECT_EQ(names(), "COM1,COM3,COM4");
    EXPECT_TRUE(port_list_remove(2));
    EXPECT_EQ(names(), "COM1,COM3");
    EXPECT_TRUE(port_list_remove(0));
    EXPECT_EQ(names(), "COM3");
    EXPECT_FALSE(port_list_remove(1));
    EXPECT_TRUE(port_list_remove(0));
    EXPECT_EQ(port_list.head, nullptr);
    EXPECT_EQ(port_list.port_count, 0);
    EXPECT_FALSE(port_list_remove(0));
}

TEST_F(PortListOps, SwapNextMovesRecords) {
    add({"COM1", "COM2"});
    EXPECT_FALSE(port_list_swap_next(1));  // the last has no successor
    EXPECT_EQ(names(), "COM1,COM2");
    EXPECT_TRUE(port_list_swap_next(0));
    EXPECT_EQ(names(), "COM2,COM1");
    add({"COM3", "COM4"});
    EXPECT_TRUE(port_list_swap_next(1));  // in the middle: all four links change
    EXPECT_EQ(names(), "COM2,COM3,COM1,COM4");
    EXPECT_TRUE(port_list_swap_next(2));
    EXPECT_EQ(names(), "COM2,COM3,COM4,COM1");
    EXPECT_FALSE(port_list_swap_next(4));
    EXPECT_FALSE(port_list_swap_next(-1));
}

TEST_F(PortListOps, UpdateReplacesSettingsButNotTheWorkingCopy) {
    add({"COM1"});
    PortRecord *record = port_list_at(0);
    record->active_settings = record->settings;
    PortSettings changed = make_port("COM1");
    changed.baud_rate = 115200;
    ASSERT_TRUE(port_list_update(record, &changed));
    EXPECT_EQ(record->settings.baud_rate, 115200);
    EXPECT_EQ(record->active_settings.baud_rate, 9600);
}

TEST_F(PortListOps, ClearEmptiesTheListAndClosesTheGuard) {
    add({"COM1", "COM2", "COM3"});
    port_list_clear();
    EXPECT_EQ(port_list.port_count, 0);
    EXPECT_EQ(port_list.head, nullptr);
    EXPECT_EQ(port_list.list_guard, nullptr);
}

// A connection thread that outlived a forced server stop may take the lock while shutdown clears
// the list; the guard must not be closed under it (ASan, TSan).
TEST(PortListClear, ClosesTheGuardOnlyOnceNobodyIsUsingIt) {
    for (int round = 0; round < 50; ++round) {
        ASSERT_TRUE(load_settings("NORVEX.DAT", nullptr));
        std::atomic<bool> go{false};
        std::vector<Background *> lockers;
        for (int i = 0; i < 3; ++i) {
            lockers.push_back(background_start([&] {
                while (!go.load()) {
                }
                for (int n = 0; n < 200; ++n) {
                    list_lock();
                    list_unlock();
                }
            }));
        }
        go.store(true);
        port_list_clear();
        EXPECT_EQ(port_list.list_guard, nullptr);
        for (Background *locker : lockers) EXPECT_TRUE(background_join(locker, 30000));
    }
}

}  // namespace
