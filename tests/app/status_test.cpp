// What the console tells the operator about ports changing between free and busy.
#include "app/status.h"

#include <gtest/gtest.h>

#include <cstring>

#include "gateway/port_allocation.h"
#include "settings/port_list.h"
#include "settings/settings_file.h"
#include "support/settings_fixtures.h"
#include "support/test_dir.h"

namespace {

TEST(Status, CallerTextPutsTheHostNameFirst) {
    EXPECT_EQ(status_caller_text(0xC0A80105u, ""), "192.168.1.5");
    EXPECT_EQ(status_caller_text(0xC0A80105u, nullptr), "192.168.1.5");
    EXPECT_EQ(status_caller_text(0x0A000001u, "pc1"), "pc1(10.0.0.1)");
    char unterminated[64];
    std::memset(unterminated, 'h', sizeof unterminated);
    EXPECT_EQ(status_caller_text(0x0A000001u, unterminated), std::string(63, 'h') + "(10.0.0.1)");
}

TEST(Status, ReportsOnlyPortsThatChanged) {
    ScopedTestDir dir;
    ASSERT_TRUE(load_settings("NORVEX.DAT", nullptr));
    for (const char *name : {"COM1", "COM2"}) {
        PortSettings port = make_port(name);
        ASSERT_TRUE(port_list_add(&port));
    }
    std::vector<PortStatus> last;
    std::vector<std::string> lines;
    status_changes(&last, &lines);
    EXPECT_TRUE(lines.empty());  // free ports are not news

    char host[64] = "caller";
    PortRecord *call = port_allocate(host, 0x7F000002u);
    ASSERT_NE(call, nullptr);
    status_changes(&last, &lines);
    EXPECT_EQ(lines, std::vector<std::string>{"COM1 busy: caller(127.0.0.2)"});
    lines.clear();
    status_changes(&last, &lines);
    EXPECT_TRUE(lines.empty());

    port_release(call);
    status_changes(&last, &lines);
    EXPECT_EQ(lines, std::vector<std::string>{"COM1 free"});
    port_list_clear();
}

}  // namespace
