// Texts typed with escapes and shown on a terminal: every byte survives the round trip, and what
// is shown never carries a control byte.
#include "control/escaped_text.h"

#include <gtest/gtest.h>

#include <random>

namespace {

std::string read(const char *typed) {
    std::string bytes, problem;
    EXPECT_EQ(escaped_text_read(typed, &bytes, &problem), 0) << typed << ": " << problem;
    return bytes;
}

std::string refused(const char *typed) {
    std::string bytes, problem;
    EXPECT_EQ(escaped_text_read(typed, &bytes, &problem), -1) << typed;
    return problem;
}

TEST(EscapedText, TypedEscapes) {
    EXPECT_EQ(read(""), "");
    EXPECT_EQ(read("*** BUSY\\r\\n"), "*** BUSY\r\n");
    EXPECT_EQ(read("a\\\\r"), "a\\r");
    EXPECT_EQ(read("\\x41\\x7e\\xFF\\x0D"), std::string("A~\xFF\r"));
    EXPECT_EQ(read("\xE3\x81\x82 \x83\x41"), "\xE3\x81\x82 \x83\x41");  // other bytes as they are
    EXPECT_EQ(refused("\\t"), "\\t is no escape (escapes: \\r \\n \\\\ \\xHH; write \\\\ for a backslash)");
    EXPECT_EQ(refused("end\\"), "a lone backslash at the end (write \\\\ for a backslash)");
    EXPECT_EQ(refused("\\x4"), "\\x needs two hex digits");
    EXPECT_EQ(refused("\\xg0"), "\\x needs two hex digits");
    EXPECT_EQ(refused("\\x00"), "\\x00: a text cannot hold a NUL byte");
}

TEST(EscapedText, ShownSafelyAndReadBack) {
    EXPECT_EQ(escaped_text_show("a b\"\\\r\n\t\x1b\x7f", 10), "a b\\x22\\\\\\r\\n\\x09\\x1B\\x7F");
    EXPECT_EQ(escaped_text_show("a b", 3, true), "a\\x20b");
    // UTF-8 stays readable; a Shift-JIS pair, a C1 control, an overlong form and a surrogate do not.
    EXPECT_EQ(escaped_text_show("\xE3\x81\x82", 3), "\xE3\x81\x82");
    EXPECT_EQ(escaped_text_show("\x83\x41", 2), "\\x83A");
    EXPECT_EQ(escaped_text_show("\xC2\x9B", 2), "\\xC2\\x9B");
    EXPECT_EQ(escaped_text_show("\xC0\xAF", 2), "\\xC0\\xAF");
    EXPECT_EQ(escaped_text_show("\xED\xA0\x80", 3), "\\xED\\xA0\\x80");
    EXPECT_EQ(escaped_text_show("\xF4\x90\x80\x80", 4), "\\xF4\\x90\\x80\\x80");
    EXPECT_EQ(escaped_text_show("\xF0\x9F\x98\x80", 4), "\xF0\x9F\x98\x80");
    EXPECT_EQ(escaped_text_show("\xE3\x81", 2), "\\xE3\\x81");  // cut short

    std::mt19937 random(5);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes;
        for (int i = 0, n = static_cast<int>(random() % 40); i < n; ++i) {
            bytes += static_cast<char>(1 + random() % 255);
        }
        for (bool one_word : {false, true}) {
            std::string shown = escaped_text_show(bytes.data(), bytes.size(), one_word);
            for (char byte : shown) {
                unsigned char c = static_cast<unsigned char>(byte);
                ASSERT_TRUE(c >= 0x20 && c != 0x7F && c != '"') << shown;
                ASSERT_FALSE(one_word && c == ' ') << shown;
            }
            ASSERT_EQ(read(shown.c_str()), bytes);
        }
    }
}

}  // namespace
