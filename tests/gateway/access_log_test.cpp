// The access log, byte for byte: fixed columns, overwriting of long parts, switching, concurrency.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <sstream>
#include <string>

#include "gateway/access_log.h"
#include "platform/file.h"
#include "platform/thread.h"
#include "settings/settings.h"
#include "support/test_dir.h"

namespace {

constexpr std::uint32_t ADDRESS_192_168_1_5 = 0xC0A80105u;
const LocalTime START{1999, 5, 1, 10, 0, 0};
const LocalTime END{1999, 5, 1, 10, 5, 30};

class AccessLog : public ::testing::Test {
protected:
    void SetUp() override { enable("access.log"); }
    void TearDown() override {
        GlobalOptions options{};
        options_set(&options);
    }

    static void enable(const char *file_name, std::int32_t enabled = 1) {
        GlobalOptions options{};
        options.access_log_enabled = enabled;
        text_set(options.access_log_file_name, file_name);
        options_set(&options);
    }

    static std::string log_text() {
        std::vector<std::uint8_t> bytes = read_whole_file("access.log");
        return std::string(bytes.begin(), bytes.end());
    }

    ScopedTestDir dir;
};

TEST_F(AccessLog, LinesStandAtFixedColumns) {
    struct Case {
        const char *what;
        const char *host;
        const char *port;
        const LocalTime *end;
        const char *reason;
        const char *line;
    };
    const Case cases[] = {
        {"normal call with host name", "pc1", "COM1", &END, nullptr,
         "1999/05/01 10:00:00 1999/05/01 10:05:30  COM1 192.168.1.5(pc1)\r\n"},
        {"refusal without host name", nullptr, nullptr, nullptr, LOG_ALL_PORT_BUSY,
         "1999/05/01 10:00:00 all port busy       " "      " "192.168.1.5\r\n"},
        {"empty host name counts as none", "", nullptr, nullptr, LOG_INITIALIZE_FAIL,
         "1999/05/01 10:00:00 initialize fail     " "      " "192.168.1.5\r\n"},
        {"reason fills its 20 columns", "pc1", "COM1", nullptr, LOG_COM_PORT_ATTACH_FAIL,
         "1999/05/01 10:00:00 com port attach fail COM1 192.168.1.5(pc1)\r\n"},
        {"a reason wins over an end time", nullptr, "COM2", &END, LOG_TRANSFER_FAIL,
         "1999/05/01 10:00:00 transfer fail        COM2 192.168.1.5\r\n"},
        {"neither end nor reason", nullptr, "COM3", nullptr, nullptr,
         "1999/05/01 10:00:00                      COM3 192.168.1.5\r\n"},
        {"5-character port loses its closing blank", nullptr, "COM10", &END, nullptr,
         "1999/05/01 10:00:00 1999/05/01 10:05:30  COM10192.168.1.5\r\n"},
        {"long port overwritten from its sixth character", nullptr, "/dev/ttyUSB0", &END, nullptr,
         "1999/05/01 10:00:00 1999/05/01 10:05:30  /dev/192.168.1.5\r\n"},
    };
    std::string expected;
    for (const Case &c : cases) {
        access_log_write(c.host, ADDRESS_192_168_1_5, c.port, &START, c.end, c.reason);
        expected += c.line;
    }
    std::istringstream got(log_text()), want(expected);
    std::string got_line, want_line;
    for (const Case &c : cases) {
        std::getline(got, got_line);
        std::getline(want, want_line);
        EXPECT_EQ(got_line, want_line) << c.what;
    }
    EXPECT_EQ(log_text(), expected);
}

TEST_F(AccessLog, UntrustedNamesAreBounded) {
    char port[16];
    std::memset(port, 'P', sizeof port);  // no terminator, as a damaged settings file may bring
    char host[64];
    std::memset(host, 'h', sizeof host);  // 64 bytes without terminator: only 63 are a name
    access_log_write(host, 0x0A000001u, port, &START, &END, nullptr);
    std::string line = log_text();
    EXPECT_EQ(line, "1999/05/01 10:00:00 1999/05/01 10:05:30  PPPPP10.0.0.1(" + std::string(63, 'h') +
                        ")\r\n");
}

TEST_F(AccessLog, SwitchedOffWritesNothingAndOptionsAreReadPerLine) {
    enable("access.log", 0);
    access_log_write(nullptr, 1, "COM1", &START, &END, nullptr);
    EXPECT_FALSE(file_exists("access.log"));

    enable("access.log", 1);  // the missing file is created with the first line
    access_log_write(nullptr, 1, "COM1", &START, &END, nullptr);
    enable("other.log", 1);
    access_log_write(nullptr, 2, "COM1", &START, &END, nullptr);
    EXPECT_NE(log_text().find("0.0.0.1\r\n"), std::string::npos);
    EXPECT_EQ(log_text().find("0.0.0.2"), std::string::npos);
    EXPECT_TRUE(file_exists("other.log"));
}

TEST_F(AccessLog, UnusableFileNameGivesUpQuietly) {
    enable("no-such-folder/access.log");
    std::uint32_t start = clock_tick_ms();
    access_log_write(nullptr, 1, "COM1", &START, &END, nullptr);
    std::uint32_t waited = clock_tick_ms() - start;
    EXPECT_GE(waited, 900u);  // ten tries, 100 ms apart
    EXPECT_LT(waited, 20000u);
    enable("");
    access_log_write(nullptr, 1, "COM1", &START, &END, nullptr);  // empty name: same, no crash
}

// A failure of the open or of the write itself (the file's system refused, for the moment) costs
// a try, not the line: it is written once, whole. A write that put part of the line down is not
// repeated.
TEST_F(AccessLog, AFailingOpenOrWriteIsTriedAgain) {
    for (std::int32_t failing : {1, 2}) {  // the open, the write
        SCOPED_TRACE(failing);
        file_delete("access.log");
        file_fail_call(failing);
        access_log_write(nullptr, ADDRESS_192_168_1_5, "COM1", &START, &END, nullptr);
        file_fail_call(0);
        EXPECT_EQ(log_text(),
                  "1999/05/01 10:00:00 1999/05/01 10:05:30  COM1 192.168.1.5\r\n");
    }
}

std::uint32_t write_lines(void *arg) {
    std::uint32_t address = *static_cast<std::uint32_t *>(arg);
    for (int i = 0; i < 25; ++i) {
        access_log_write("writer", address, "COM1", &START, &END, nullptr);
    }
    return 0;
}

TEST_F(AccessLog, ConcurrentWritersNeverMixLines) {
    std::uint32_t addresses[4] = {0x0A000001u, 0x0A000002u, 0x0A000003u, 0x0A000004u};
    Thread *threads[4];
    for (int i = 0; i < 4; ++i) {
        threads[i] = thread_start(write_lines, &addresses[i], 0);
        ASSERT_NE(threads[i], nullptr);
    }
    for (Thread *thread : threads) {
        ASSERT_EQ(thread_join(thread, 120000), 0);
        thread_close(thread);
    }
    std::istringstream lines(log_text());
    std::string line;
    int counts[4] = {};
    while (std::getline(lines, line)) {
        ASSERT_EQ(line.size(), 63u) << line;
        ASSERT_EQ(line.substr(0, 46), "1999/05/01 10:00:00 1999/05/01 10:05:30  COM1 ");
        ASSERT_EQ(line.substr(46, 7), "10.0.0.");
        ASSERT_EQ(line.substr(54), "(writer)\r");
        int which = line[53] - '1';
        ASSERT_TRUE(which >= 0 && which < 4) << line;
        ++counts[which];
    }
    for (int count : counts) EXPECT_EQ(count, 25);
}

}  // namespace
