// Permission matching and port allocation: mask rules, rule order, the walk over busy and refusing
// ports, notices to the main window, and allocation racing between threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "gateway/port_allocation.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "platform/ui.h"
#include "settings/port_list.h"
#include "settings/settings_file.h"
#include "support/settings_fixtures.h"
#include "support/test_dir.h"

namespace {

constexpr std::uint32_t ip(int a, int b, int c, int d) {
    return (std::uint32_t(a) << 24) | (std::uint32_t(b) << 16) | (std::uint32_t(c) << 8) |
           std::uint32_t(d);
}

struct MatchCase {
    const char *what;
    PermissionRule rule;
    const char *host;
    std::uint32_t address;
    bool matches;
};

TEST(PermissionRule, MatchesByMaskAndSuffix) {
    PermissionRule unused = address_rule(0, 0, 0, 0, 0, true);
    unused.in_use = 0;
    PermissionRule all_with_junk_prefix = address_rule(0, 0, 0, 0, 17, true);
    const MatchCase cases[] = {
        {"free entry never matches", unused, "", ip(1, 2, 3, 4), false},
        {"ALL matches everyone", address_rule(0, 0, 0, 0, 0, true), "", ip(203, 0, 113, 9), true},
        {"ALL ignores its prefix byte", all_with_junk_prefix, "", ip(10, 0, 0, 1), true},
        {"class A default", address_rule(10, 0, 0, 0, 0, true), "", ip(10, 200, 3, 4), true},
        {"class A default, other net", address_rule(10, 0, 0, 0, 0, true), "", ip(11, 0, 0, 0),
         false},
        {"class B default", address_rule(172, 16, 0, 0, 0, true), "", ip(172, 16, 9, 9), true},
        {"class B default, other net", address_rule(172, 16, 0, 0, 0, true), "",
         ip(172, 17, 0, 1), false},
        {"class C default", address_rule(192, 168, 0, 0, 0, true), "", ip(192, 168, 0, 77), true},
        {"class C default, other net", address_rule(192, 168, 0, 0, 0, true), "",
         ip(192, 168, 1, 5), false},
        {"class D/E: exact", address_rule(224, 0, 0, 1, 0, true), "", ip(224, 0, 0, 1), true},
        {"class D/E: exact, other", address_rule(224, 0, 0, 0, 0, true), "", ip(224, 0, 0, 1),
         false},
        {"bits outside class mask: exact", address_rule(10, 1, 0, 0, 0, true), "", ip(10, 1, 0, 0),
         true},
        {"bits outside class mask: not 10.1.x", address_rule(10, 1, 0, 0, 0, true), "",
         ip(10, 1, 0, 1), false},
        {"/24 network", address_rule(192, 168, 1, 0, 24, true), "", ip(192, 168, 1, 255), true},
        {"/24 network, other", address_rule(192, 168, 1, 0, 24, true), "", ip(192, 168, 2, 0),
         false},
        {"bits outside prefix: exact", address_rule(192, 168, 1, 5, 24, true), "",
         ip(192, 168, 1, 5), true},
        {"bits outside prefix: not a neighbour", address_rule(192, 168, 1, 5, 24, true), "",
         ip(192, 168, 1, 6), false},
        {"/32", address_rule(127, 0, 0, 2, 32, true), "", ip(127, 0, 0, 2), true},
        {"/32 other", address_rule(127, 0, 0, 2, 32, true), "", ip(127, 0, 0, 1), false},
        {"/1", address_rule(128, 0, 0, 0, 1, true), "", ip(200, 1, 1, 1), true},
        {"/1 other half", address_rule(128, 0, 0, 0, 1, true), "", ip(100, 1, 1, 1), false},
        {"/33 keeps the top bit", address_rule(128, 0, 0, 0, 33, true), "", ip(255, 9, 9, 9),
         true},
        {"/33 top bit differs", address_rule(128, 0, 0, 0, 33, true), "", ip(127, 9, 9, 9),
         false},
        {"/33 with low bits: exact", address_rule(10, 0, 0, 0, 33, true), "", ip(10, 0, 0, 1),
         false},
        {"/64 keeps all bits", address_rule(10, 0, 0, 7, 64, true), "", ip(10, 0, 0, 7), true},
        {"/64 keeps all bits, other", address_rule(10, 0, 0, 0, 64, true), "", ip(10, 0, 0, 1),
         false},
        {"/48 is /16", address_rule(10, 9, 0, 0, 48, true), "", ip(10, 9, 200, 1), true},
        {"suffix", host_rule("example.com", true), "pc1.example.com", 0, true},
        {"whole name", host_rule("pc1.example.com", true), "pc1.example.com", 0, true},
        {"no label boundary", host_rule("ample.com", true), "pc1.example.com", 0, true},
        {"case-sensitive", host_rule("Example.com", true), "pc1.example.com", 0, false},
        {"pattern longer than name", host_rule("pc1.example.com", true), "example.com", 0, false},
        {"no host name", host_rule("example.com", true), "", ip(1, 2, 3, 4), false},
        {"not at the end", host_rule("example", true), "example.com", 0, false},
    };
    for (const MatchCase &c : cases) {
        char host[64] = {};
        std::strncpy(host, c.host, sizeof host - 1);
        EXPECT_EQ(permission_rule_matches(&c.rule, host, c.address), c.matches) << c.what;
    }
}

class Allocation : public ::testing::Test {
protected:
    void SetUp() override {
        window = ui_queue_create();
        ASSERT_TRUE(load_settings("NORVEX.DAT", window));
    }
    void TearDown() override {
        port_list_clear();
        port_list.notify_window = nullptr;
        ui_queue_destroy(window);
    }

    PortRecord *add(const char *name, std::initializer_list<PermissionRule> rules = {}) {
        PortSettings port = make_port(name);
        int i = 0;
        for (const PermissionRule &rule : rules) port.permission_rules[i++] = rule;
        EXPECT_TRUE(port_list_add(&port));
        return port_list_at(port_list.port_count - 1);
    }

    PortRecord *allocate(std::uint32_t address, const char *host_name = "") {
        char host[64] = {};
        std::strncpy(host, host_name, sizeof host - 1);
        return port_allocate(host, address);
    }

    int notices() {
        int count = 0;
        std::int32_t code = 0, param = 0;
        while (ui_queue_next(window, 0, &code, &param) == 0) {
            EXPECT_EQ(code, CMD_REFRESH_STATUS);
            EXPECT_EQ(param, 0);
            ++count;
        }
        return count;
    }

    ScopedTestDir dir;
    UiWindow *window = nullptr;
};

TEST_F(Allocation, RuleOrderDecides) {
    PortRecord *deny_first =
        add("COM1", {address_rule(192, 168, 1, 7, 0, false), address_rule(0, 0, 0, 0, 0, true)});
    EXPECT_EQ(allocate(ip(192, 168, 1, 7)), nullptr);
    PortRecord *got = allocate(ip(192, 168, 1, 8));
    EXPECT_EQ(got, deny_first);
    port_release(got);

    ASSERT_TRUE(port_list_remove(0));
    PortRecord *all_first =
        add("COM1", {address_rule(0, 0, 0, 0, 0, true), address_rule(192, 168, 1, 7, 0, false)});
    got = allocate(ip(192, 168, 1, 7));
    EXPECT_EQ(got, all_first);
    port_release(got);
}

TEST_F(Allocation, EmptyListAdmitsAndUnmatchedRulesRefuse) {
    PortRecord *open = add("COM1");
    PortRecord *got = allocate(ip(203, 0, 113, 1));
    EXPECT_EQ(got, open);
    port_release(got);

    ASSERT_TRUE(port_list_remove(0));
    add("COM1", {address_rule(10, 0, 0, 0, 0, true)});
    EXPECT_EQ(allocate(ip(192, 168, 1, 5)), nullptr);
    EXPECT_NE((got = allocate(ip(10, 3, 2, 1))), nullptr);
    port_release(got);

    // A host-name rule without a looked-up name refuses everybody.
    ASSERT_TRUE(port_list_remove(0));
    add("COM1", {host_rule("example.com", true)});
    EXPECT_EQ(allocate(ip(10, 3, 2, 1)), nullptr);
    EXPECT_NE((got = allocate(ip(10, 3, 2, 1), "pc.example.com")), nullptr);
    port_release(got);

    // Free entries anywhere in the array are skipped.
    ASSERT_TRUE(port_list_remove(0));
    PortSettings gaps = make_port("COM1");
    gaps.permission_rules[40] = address_rule(10, 0, 0, 0, 0, false);
    ASSERT_TRUE(port_list_add(&gaps));
    EXPECT_EQ(allocate(ip(10, 3, 2, 1)), nullptr);
}

TEST_F(Allocation, WalksPastBusyAndRefusingPorts) {
    PortRecord *first = add("COM1");
    PortRecord *second = add("COM2", {address_rule(127, 0, 0, 2, 32, false)});
    PortRecord *third = add("COM3");
    PortRecord *busy = allocate(ip(10, 0, 0, 1));
    ASSERT_EQ(busy, first);
    first->settings.baud_rate = 1200;  // an edit after allocation leaves the working copy alone
    EXPECT_EQ(notices(), 1);

    char host[64] = "caller.example";
    PortRecord *got = port_allocate(host, ip(127, 0, 0, 2));
    ASSERT_EQ(got, third);
    EXPECT_EQ(third->busy.load(), 1);
    EXPECT_EQ(third->caller_address.load(), ip(127, 0, 0, 2));
    EXPECT_STREQ(third->caller_host_name, "caller.example");
    EXPECT_EQ(std::memcmp(&third->active_settings, &third->settings, sizeof(PortSettings)), 0);
    EXPECT_EQ(second->busy.load(), 0);
    EXPECT_EQ(first->active_settings.baud_rate, 9600);
    EXPECT_EQ(first->caller_address.load(), ip(10, 0, 0, 1));
    EXPECT_EQ(notices(), 1);

    EXPECT_EQ(allocate(ip(127, 0, 0, 2)), nullptr);  // COM2 refuses, the others are busy
    EXPECT_EQ(notices(), 0);                           // a failed allocation tells nobody

    port_release(got);
    port_release(busy);
    EXPECT_EQ(notices(), 2);
    EXPECT_EQ(third->busy.load(), 0);
    EXPECT_STREQ(third->caller_host_name, "caller.example");  // kept after release
}

TEST_F(Allocation, ClearsAnEarlierForcedDisconnect) {
    PortRecord *port = add("COM1");
    port->disconnect_request.store(1);
    PortRecord *got = allocate(ip(10, 0, 0, 1));
    ASSERT_EQ(got, port);
    EXPECT_EQ(port->disconnect_request.load(), 0);
    port_release(got);
}

struct Race {
    std::atomic<int> start{0};
    PortRecord *won[2] = {nullptr, nullptr};
    int index = 0;
};

std::uint32_t race_for_port(void *arg) {
    auto *entry = static_cast<std::pair<Race *, int> *>(arg);
    while (entry->first->start.load() == 0) {
    }
    char host[64] = {};
    entry->first->won[entry->second] = port_allocate(host, ip(127, 0, 0, 1));
    return 0;
}

TEST_F(Allocation, TwoCallersRacingForOnePortGetItOnce) {
    add("COM1");
    for (int round = 0; round < 300; ++round) {
        Race race;
        std::pair<Race *, int> a{&race, 0}, b{&race, 1};
        Thread *one = thread_start(race_for_port, &a, 0);
        Thread *two = thread_start(race_for_port, &b, 0);
        ASSERT_NE(one, nullptr);
        ASSERT_NE(two, nullptr);
        race.start.store(1);
        ASSERT_EQ(thread_join(one, 30000), 0);
        ASSERT_EQ(thread_join(two, 30000), 0);
        thread_close(one);
        thread_close(two);
        ASSERT_EQ((race.won[0] != nullptr) + (race.won[1] != nullptr), 1) << "round " << round;
        port_release(race.won[0] != nullptr ? race.won[0] : race.won[1]);
    }
    notices();
}

struct Call {
    PortRecord *port;
    Event *removed;
    std::atomic<std::int32_t> baud{0};
};

TEST_F(Allocation, RemovingABusyPortKeepsTheRecordForItsCall) {
    add("COM1");
    add("COM2");
    Call call{allocate(ip(10, 0, 0, 1)), event_create()};
    ASSERT_NE(call.port, nullptr);
    Thread *worker = thread_start(
        [](void *arg) -> std::uint32_t {
            Call *c = static_cast<Call *>(arg);
            event_wait(c->removed, WAIT_FOREVER_MS);
            // The port is gone from the list; its call still reads and releases it.
            c->baud.store(c->port->active_settings.baud_rate);
            port_release(c->port);
            return 0;
        },
        &call, 0);
    ASSERT_NE(worker, nullptr);

    ASSERT_TRUE(port_list_remove(0));
    EXPECT_EQ(port_list.port_count, 1);
    EXPECT_STREQ(port_list_at(0)->settings.port_name, "COM2");
    event_set(call.removed);
    ASSERT_EQ(thread_join(worker, 30000), 0);
    thread_close(worker);
    event_close(call.removed);
    EXPECT_EQ(call.baud.load(), 9600);

    // A clear with a call still holding a record keeps the guard for that call.
    PortRecord *held = allocate(ip(10, 0, 0, 1));
    ASSERT_NE(held, nullptr);
    port_list_clear();
    EXPECT_NE(port_list.list_guard, nullptr);
    port_release(held);
}

}  // namespace
