#include "app/messages.h"

#include <gtest/gtest.h>

#include <string>

#include "resources/resource_ids.h"

// The console and norvexctl print a message as "TEXT (gloss)"; a number fills the "%d" of both,
// and every other byte of a text is printed as it stands, never read as a format.
TEST(Messages, ALineFillsTheNumberAndTakesTheRestAsData) {
    std::string listen = message_line(STR_LISTEN_FAILED, 2323);
    EXPECT_NE(listen.find(std::string(message_text(STR_LISTEN_FAILED)).substr(0, 6)), std::string::npos);
    EXPECT_EQ(listen.find("%d"), std::string::npos);
    std::size_t first = listen.find("2323");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(listen.find("2323", first + 4), std::string::npos) << "the gloss is filled too";

    // 1001's texts hold a "%s": printed as they are.
    std::string question = message_line(STR_FORCE_DISCONNECT_QUESTION);
    EXPECT_EQ(question, std::string(message_text(STR_FORCE_DISCONNECT_QUESTION)) + " (" +
                            message_gloss(STR_FORCE_DISCONNECT_QUESTION) + ")");
    EXPECT_NE(question.find("%s"), std::string::npos);

    EXPECT_EQ(message_fill("%d%% and %d", 7), "7%% and %d");
    EXPECT_EQ(message_fill(nullptr, 7), "");
}
