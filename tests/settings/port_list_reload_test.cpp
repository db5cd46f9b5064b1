// Reloading the port list from the file's records: what stays, what goes, what a call keeps.
#include "settings/port_list_reload.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>

#include "gateway/port_allocation.h"
#include "settings/port_list.h"
#include "settings/settings_file.h"
#include "support/settings_fixtures.h"
#include "support/test_dir.h"

namespace {

class PortListReloadTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(load_settings("NORVEX.DAT", nullptr)); }
    void TearDown() override { port_list_clear(); }

    void add(const PortSettings &settings) { ASSERT_TRUE(port_list_add(&settings)); }

    static std::vector<std::string> names() {
        std::vector<std::string> result;
        for (std::int32_t i = 0; PortRecord *record = port_list_at(i); ++i) {
            result.emplace_back(record->settings.port_name, text_length(record->settings.port_name));
        }
        return result;
    }

    static std::string summary(const PortListReload &report) {
        std::string text;
        for (const PortChange &change : report.changes) {
            const char *kind = change.kind == PORT_ADDED     ? "+"
                               : change.kind == PORT_REMOVED ? "-"
                                                             : "~";
            text += std::string(kind) + change.port_name + (change.busy ? "(busy)" : "") +
                    (change.done ? "" : "(failed)") + " ";
        }
        return text + (report.order_changed ? "order" : "");
    }

    ScopedTestDir dir;
};

TEST_F(PortListReloadTest, AddsRemovesUpdatesAndReordersKeepingTheRecordsThatStay) {
    for (const char *name : {"COM1", "COM2", "COM3"}) add(make_port(name));
    PortRecord *com1 = port_list_at(0);
    PortRecord *com3 = port_list_at(2);

    PortSettings faster = make_port("COM1");
    faster.baud_rate = 115200;
    PortListReload report;
    port_list_reload({make_port("COM3"), make_port("COM4"), faster}, &report);

    EXPECT_EQ(names(), (std::vector<std::string>{"COM3", "COM4", "COM1"}));
    EXPECT_EQ(summary(report), "-COM2 +COM4 ~COM1 order");
    EXPECT_EQ(port_list_at(0), com3);  // the same records, not copies
    EXPECT_EQ(port_list_at(2), com1);
    EXPECT_EQ(com1->settings.baud_rate, 115200);
    EXPECT_EQ(port_list.port_count, 3);

    // The same content again changes nothing.
    port_list_reload({make_port("COM3"), make_port("COM4"), faster}, &report);
    EXPECT_EQ(summary(report), "");
    // An empty list removes everything.
    port_list_reload({}, &report);
    EXPECT_EQ(summary(report), "-COM1 -COM4 -COM3 ");
    EXPECT_EQ(port_list.head, nullptr);
    EXPECT_EQ(port_list.port_count, 0);
}

TEST_F(PortListReloadTest, NamesMatchWithoutCaseAndDuplicatesInTurn) {
    add(make_port("com1"));
    add(make_port("COM1"));
    add(make_port("COM2"));
    PortRecord *first = port_list_at(0);
    PortRecord *second = port_list_at(1);

    // The first com1 becomes COM1 in place; the second COM1 has no partner left and goes.
    PortListReload report;
    port_list_reload({make_port("COM2"), make_port("COM1")}, &report);
    EXPECT_EQ(summary(report), "-COM1 ~COM1 order");
    EXPECT_EQ(names(), (std::vector<std::string>{"COM2", "COM1"}));
    EXPECT_EQ(port_list_at(1), first);
    EXPECT_NE(port_list_at(0), second);
}

TEST_F(PortListReloadTest, ACallKeepsItsSettingsAndARemovedPortLivesUntilTheCallEnds) {
    add(make_port("COM1"));
    add(make_port("COM2"));
    char host[64] = "caller";
    PortRecord *call = port_allocate(host, 0x7F000001u);
    ASSERT_NE(call, nullptr);
    ASSERT_STREQ(call->settings.port_name, "COM1");

    PortSettings changed = make_port("COM1");
    changed.idle_timeout_s = 60;
    text_set(changed.disconnect_message, "changed\r\n");
    PortListReload report;
    port_list_reload({changed, make_port("COM2")}, &report);
    EXPECT_EQ(summary(report), "~COM1(busy) ");
    EXPECT_EQ(call->settings.idle_timeout_s, 60);
    EXPECT_EQ(call->active_settings.idle_timeout_s, 0);  // the call goes on as it began
    EXPECT_STREQ(call->active_settings.disconnect_message, "");
    EXPECT_EQ(call->busy.load(), 1);

    // Removed while busy: out of the list at once, alive for the call, never given to another.
    port_list_reload({make_port("COM2")}, &report);
    EXPECT_EQ(summary(report), "-COM1(busy) ");
    EXPECT_EQ(names(), (std::vector<std::string>{"COM2"}));
    EXPECT_EQ(call->busy.load(), 1);
    EXPECT_STREQ(call->active_settings.port_name, "COM1");
    PortRecord *next = port_allocate(host, 0x7F000001u);
    ASSERT_NE(next, nullptr);
    EXPECT_STREQ(next->settings.port_name, "COM2");
    EXPECT_EQ(port_allocate(host, 0x7F000001u), nullptr);
    port_release(next);
    port_release(call);  // the last hold: freed here (the sanitizer builds see a leak or a reuse)
    EXPECT_EQ(port_list.port_count, 1);
}

// Any list of names becomes any other, records of names that stay are kept, and every record ends
// with the file's bytes.
TEST_F(PortListReloadTest, RandomListsEndEqualToTheFile) {
    std::mt19937 random(2024);
    const char *pool[] = {"COM1", "COM2", "COM3", "COM4", "com4", "COM5"};
    for (int round = 0; round < 200; ++round) {
        std::vector<PortSettings> before;
        std::vector<PortSettings> after;
        for (int i = 0, n = static_cast<int>(random() % 6); i < n; ++i) {
            before.push_back(make_port(pool[random() % 6]));
        }
        for (int i = 0, n = static_cast<int>(random() % 6); i < n; ++i) {
            PortSettings port = make_port(pool[random() % 6]);
            port.baud_rate = 300 << (random() % 3);
            after.push_back(port);
        }
        PortListReload report;
        port_list_reload(before, &report);
        std::map<std::string, std::vector<PortRecord *>> kept;
        for (std::int32_t i = 0; PortRecord *record = port_list_at(i); ++i) {
            std::string upper = record->settings.port_name;
            std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
            kept[upper].push_back(record);
        }

        port_list_reload(after, &report);
        ASSERT_EQ(port_list.port_count, static_cast<std::int32_t>(after.size())) << round;
        std::map<std::string, std::size_t> seen;
        for (std::size_t i = 0; i < after.size(); ++i) {
            PortRecord *record = port_list_at(static_cast<std::int32_t>(i));
            ASSERT_NE(record, nullptr);
            EXPECT_EQ(std::memcmp(&record->settings, &after[i], sizeof after[i]), 0) << round;
            std::string upper = after[i].port_name;
            std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
            std::size_t k = seen[upper]++;
            if (k < kept[upper].size()) {
                EXPECT_EQ(record, kept[upper][k]) << round << " " << i;
            }
        }
        EXPECT_EQ(port_list_at(static_cast<std::int32_t>(after.size())), nullptr);
    }
}

}  // namespace
