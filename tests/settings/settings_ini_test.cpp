#include "settings/settings_ini.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_dir.h"

namespace {

int parse(const std::string &text, IniSettings *settings, std::string *problem) {
    IniDocument document;
    return ini_parse(text, &document, settings, problem);
}

}  // namespace

TEST(SettingsIni, KnownKeysAreReadAndEverythingElseIsKept) {
    IniSettings settings;
    std::string problem;
    EXPECT_EQ(parse("", &settings, &problem), 0);
    EXPECT_EQ(settings.ssh_port, 0);
    ASSERT_EQ(parse("# gateway\r\n ssh_port = 2222 \r\nlater_key = x y z\n\n[COM1]\nsomething=1\n",
                    &settings, &problem),
              0)
        << problem;
    EXPECT_EQ(settings.ssh_port, 2222);
    EXPECT_EQ(parse("; comment\nssh_port=0\n[other]\nssh-port = text\n", &settings, &problem), 0)
        << problem;
    EXPECT_EQ(settings.ssh_port, 0);
}

// A malformed file is reported by its line, and nothing of it is taken.
TEST(SettingsIni, MalformedLinesAreReportedByNumber) {
    struct Case {
        const char *text;
        const char *problem_start;
    } cases[] = {
        {"ssh_port = 22\njust words\n", "line 2: "},
        {"\n\n[COM1\n", "line 3: "},
        {"[]\n", "line 1: "},
        {"= 5\n", "line 1: "},
        {"ssh port = 5\n", "line 1: "},
        {"ssh_port = 65536\n", "line 1: ssh_port takes a number from 0 to 65535"},
        {"ssh_port = -1\n", "line 1: "},
        {"ssh_port = 22x\n", "line 1: "},
        {"ssh_port =\n", "line 1: "},
        {"ssh_port = 99999999999\n", "line 1: "},
        {"ssh_port = 22\n# again\nssh_port = 23\n", "line 3: ssh_port is given twice (also on line 1)"},
        {"[COM1]\nssh_port = 22\n", "line 2: ssh_port belongs at the top"},
    };
    for (const Case &c : cases) {
        IniSettings settings;
        std::string problem;
        EXPECT_EQ(parse(c.text, &settings, &problem), -1) << c.text;
        EXPECT_EQ(problem.rfind(c.problem_start, 0), 0u) << c.text << " -> " << problem;
        EXPECT_EQ(settings.ssh_port, 0) << c.text;
    }
}

// An edit changes its one line and keeps every other byte where it was.
TEST(SettingsIni, SettingAValueKeepsCommentsUnknownKeysAndOrder) {
    IniDocument document;
    IniSettings settings;
    std::string problem;
    ASSERT_EQ(ini_parse("# my gateway\nfuture = 1\n  ssh_port = 22\n\n[COM1]\n# board\nx = y\n",
                        &document, &settings, &problem),
              0);
    ini_set(&document, "", "ssh_port", "2222");
    EXPECT_EQ(ini_text(&document), "# my gateway\nfuture = 1\n  ssh_port = 2222\n\n[COM1]\n# board\nx = y\n");
    ini_set(&document, "com1", "tcp_port", "7001");
    ini_set(&document, "COM2", "tcp_port", "7002");
    ini_set(&document, "", "other", "z");
    EXPECT_EQ(ini_text(&document),
              "# my gateway\nfuture = 1\n  ssh_port = 2222\nother = z\n\n[COM1]\n# board\nx = y\n"
              "tcp_port = 7001\n\n[COM2]\ntcp_port = 7002\n");
    std::string value;
    EXPECT_TRUE(ini_get(&document, "COM2", "tcp_port", &value));
    EXPECT_EQ(value, "7002");
    EXPECT_FALSE(ini_get(&document, "COM3", "tcp_port", &value));

    IniDocument empty;
    ini_set(&empty, "", "ssh_port", "2222");
    EXPECT_EQ(ini_text(&empty), "ssh_port = 2222\n");
}

// A file written on Windows stays a CR LF file through an edit, and a stray CR of its own (as a
// fuzzer found: "x\r\r\n") is not lost when the file is written back and read again.
TEST(SettingsIni, CarriageReturnsSurviveARewrite) {
    IniDocument document;
    IniSettings settings;
    std::string problem;
    ASSERT_EQ(ini_parse("# windows\r\nssh_port = 22\r\n[COM1]\r\n", &document, &settings, &problem), 0);
    ini_set(&document, "", "ssh_port", "2222");
    ini_set(&document, "COM1", "tcp_port", "7001");
    ini_set(&document, "COM2", "tcp_port", "7002");
    EXPECT_EQ(ini_text(&document), "# windows\r\nssh_port = 2222\r\n[COM1]\r\ntcp_port = 7001\r\n\r\n"
                                   "[COM2]\r\ntcp_port = 7002\r\n");

    ASSERT_EQ(ini_parse("odd = 1\r\r\n", &document, &settings, &problem), 0);
    IniDocument again;
    ASSERT_EQ(ini_parse(ini_text(&document), &again, &settings, &problem), 0);
    EXPECT_EQ(again.lines, document.lines);
}

TEST(SettingsIni, TheFileIsReadAndWrittenInTheWorkingDirectory) {
    ScopedTestDir dir;
    IniDocument document;
    IniSettings settings;
    std::string problem;
    EXPECT_EQ(ini_read(&document, &settings, &problem), 0) << "a missing file means the defaults";
    EXPECT_TRUE(document.lines.empty());
    ini_set(&document, "", "ssh_port", "2200");
    ASSERT_EQ(ini_write(&document), 0);
    ASSERT_EQ(ini_read(&document, &settings, &problem), 0) << problem;
    EXPECT_EQ(settings.ssh_port, 2200);
    std::string broken = "ssh_port = 2200\nbroken\n";
    write_whole_file("NORVEX.INI", std::vector<std::uint8_t>(broken.begin(), broken.end()));
    EXPECT_EQ(ini_read(&document, &settings, &problem), -1);
    EXPECT_EQ(problem, "NORVEX.INI line 2: neither `key = value`, a [section] heading nor a comment");
}

// A port's keys under its heading: read per port, checked as the gateway keys are, and no TCP
// port for two ways in.
TEST(SettingsIni, PortsOwnTcpPortsAndTheOptionAreReadUnderTheirHeading) {
    IniSettings settings;
    std::string problem;
    ASSERT_EQ(parse("ssh_port = 2222\n[COM1]\ntcp_port = 7001\nrfc2217 = ON\r\n\n[com2]\n"
                    "rfc2217 = no\nnote = kept\n[COM3]\ntcp_port=0\n",
                    &settings, &problem),
              0)
        << problem;
    ASSERT_EQ(settings.ports.size(), 3u);
    const IniPort *com1 = ini_port(&settings, "com1", 4);
    ASSERT_NE(com1, nullptr);
    EXPECT_EQ(com1->tcp_port, 7001);
    EXPECT_EQ(com1->rfc2217, 1);
    EXPECT_EQ(com1->tcp_port_line, 3);
    const IniPort *com2 = ini_port(&settings, "COM2", 4);
    ASSERT_NE(com2, nullptr);
    EXPECT_EQ(com2->tcp_port, 0);
    EXPECT_EQ(com2->rfc2217, 0);
    EXPECT_EQ(ini_port(&settings, "COM4", 4), nullptr);
    EXPECT_EQ(ini_check_tcp_ports(&settings, 23, true, &problem), 0) << problem;

    struct Case {
        const char *text;
        const char *problem;
    } cases[] = {
        {"tcp_port = 7001\n", "line 1: tcp_port belongs under a port's heading"},
        {"[COM1]\ntcp_port = 7001\nTCP_PORT = 7002\n", nullptr},  // keys keep their case
        {"[COM1]\ntcp_port = 7001\n[COM1]\ntcp_port = 7002\n",
         "line 4: tcp_port of COM1 is given twice (also on line 2)"},
        {"[COM1]\ntcp_port = 65536\n", "line 2: tcp_port takes a TCP port from 1 to 65535"},
        {"[COM1]\nrfc2217 = maybe\n", "line 2: rfc2217 takes on or off"},
        {"[COM1]\ntcp_port = 7001\n[COM2]\ntcp_port = 7001\n",
         "line 4: COM2's tcp_port 7001 is COM1's tcp_port (line 2) too"},
        {"[COM1]\ntcp_port = 2222\n\nssh_port = 2222\n", "line 4: ssh_port belongs at the top"},
        {"ssh_port = 2222\n[COM1]\ntcp_port = 2222\n",
         "line 3: COM1's tcp_port 2222 is ssh_port (line 1) too"},
    };
    for (const Case &c : cases) {
        int result = parse(c.text, &settings, &problem);
        if (c.problem == nullptr) {
            EXPECT_EQ(result, 0) << c.text << problem;
            continue;
        }
        EXPECT_EQ(result, -1) << c.text;
        EXPECT_EQ(problem.rfind(c.problem, 0), 0u) << c.text << " -> " << problem;
        EXPECT_TRUE(settings.ports.empty()) << "nothing of a malformed file is taken";
    }

    // The telnet port of NORVEX.DAT is checked with the file's ways.
    ASSERT_EQ(parse("[COM1]\ntcp_port = 23\n", &settings, &problem), 0);
    EXPECT_EQ(ini_check_tcp_ports(&settings, 23, true, &problem), -1);
    EXPECT_EQ(problem, "line 2: COM1's tcp_port 23 is the telnet port of NORVEX.DAT too: one TCP "
                       "port serves one way in");
    EXPECT_EQ(ini_check_tcp_ports(&settings, 24, true, &problem), 0);
}
