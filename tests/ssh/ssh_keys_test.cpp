#include "ssh/ssh_keys.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const char *const KEY = "AAAAC3NzaC1lZDI1NTE5AAAAIBkX2+uv/3v9kdjiNbcbHOYn3IYgV2PrBZK/k3ISbWhp";

int parse(const std::string &line, SshKeyLine *key, std::string *problem) {
    return ssh_key_line_parse(line.data(), line.size(), key, problem);
}

}  // namespace

// The lines users already have work as they are; this gateway's ports="..." limits a key.
TEST(SshKeys, LinesAsOpenSshWritesThemAreRead) {
    SshKeyLine key;
    std::string problem;
    ASSERT_EQ(parse(std::string("ssh-ed25519 ") + KEY + " alice@laptop", &key, &problem), 1) << problem;
    EXPECT_EQ(key.type, "ssh-ed25519");
    EXPECT_EQ(key.base64, KEY);
    EXPECT_EQ(key.allowed_coms, 0u);

    ASSERT_EQ(parse(std::string("  ecdsa-sha2-nistp256 ") + KEY + "\r", &key, &problem), 1);
    EXPECT_EQ(key.base64, KEY) << "a CR of a file written on Windows is not part of the key";

    ASSERT_EQ(parse(std::string("ports=\"COM1,com3,COM12\" ssh-ed25519 ") + KEY, &key, &problem), 1)
        << problem;
    EXPECT_EQ(key.allowed_coms, (1u << 0) | (1u << 2) | (1u << 11));

    ASSERT_EQ(parse(std::string("restrict,no-pty,ports=\"COM2\" ssh-rsa ") + KEY + " c", &key, &problem),
              1)
        << problem;
    EXPECT_EQ(key.allowed_coms, 1u << 1);

    for (const char *empty : {"", "   ", "# a comment", "\t# ssh-ed25519 AAAA"}) {
        EXPECT_EQ(parse(empty, &key, &problem), 0) << empty;
    }
}

// A line is refused whole when it would otherwise be used with a promise not kept, or is broken.
TEST(SshKeys, OptionsNotEnforcedAndBrokenLinesAreRefused) {
    const std::string key_part = std::string(" ssh-ed25519 ") + KEY;
    const char *refused[] = {
        "from=\"10.0.0.0/8\"",  "command=\"/bin/false\"", "permitopen=\"x:1\"",
        "environment=\"A=b\"",  "cert-authority",         "ports=\"COM0\"",
        "ports=\"COM33\"",      "ports=\"ttyS1\"",        "ports=\"\"",
        "ports=COM1",           "ports=\"COM1",           "restrict,",
        ",restrict",            "no-pty;restrict",        "ports=\"COM1,\"",
    };
    for (const char *options : refused) {
        SshKeyLine key;
        std::string problem;
        EXPECT_EQ(parse(options + key_part, &key, &problem), -1) << options;
        EXPECT_FALSE(problem.empty()) << options;
    }
    SshKeyLine key;
    std::string problem;
    EXPECT_EQ(parse("ssh-ed25519", &key, &problem), -1);
    EXPECT_EQ(parse("ssh-ed25519 AAAA!!!", &key, &problem), -1);
    EXPECT_EQ(parse("restrict hello", &key, &problem), -1);
    EXPECT_EQ(parse("just some words", &key, &problem), -1);
}

TEST(SshKeys, AFileGivesItsUsableLinesAndSaysWhichItRefused) {
    std::string text = std::string("# keys\nssh-ed25519 ") + KEY + " one\n\nfrom=\"x\" ssh-ed25519 " + KEY +
                       "\nports=\"COM2\" ssh-ed25519 " + KEY + " two";
    std::vector<SshKeyLine> keys;
    std::vector<std::string> problems;
    ssh_authorized_keys_parse(text, &keys, &problems);
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0].line, 2);
    EXPECT_EQ(keys[1].line, 5);
    EXPECT_EQ(keys[1].allowed_coms, 2u);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].rfind("4: ", 0), 0u) << problems[0];
}

TEST(SshKeys, AUserNameCOMnAsksForThatPort) {
    struct Case {
        const char *user;
        const char *port;
    } cases[] = {{"COM1", "COM1"}, {"com2", "COM2"}, {"Com9", "COM9"}, {"COM12", "COM12"},
                 {"COM0", ""},     {"COM01", ""},    {"COM100", ""},  {"COM", ""},
                 {"alice", ""},    {"COM1x", ""},    {"xCOM1", ""},   {"", ""}};
    for (const Case &c : cases) {
        std::string port = "unchanged";
        ssh_user_port(c.user, std::strlen(c.user), &port);
        EXPECT_EQ(port, c.port) << c.user;
    }
}
