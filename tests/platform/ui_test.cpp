// The headless command queue that workers post to.
#include <gtest/gtest.h>

#include "platform/ui.h"

namespace {

TEST(UiQueue, DeliversInOrderAndRefusesWhenFull) {
    UiWindow *window = ui_queue_create();
    ASSERT_NE(window, nullptr);
    std::int32_t code = 0, param = 0;
    EXPECT_EQ(ui_queue_next(window, 10, &code, &param), -1);

    EXPECT_EQ(ui_post_command(window, 5, 0), 0);
    EXPECT_EQ(ui_post_command(window, 7, 3), 0);
    ASSERT_EQ(ui_queue_next(window, 1000, &code, &param), 0);
    EXPECT_EQ(code, 5);
    ASSERT_EQ(ui_queue_next(window, 1000, &code, &param), 0);
    EXPECT_EQ(code, 7);
    EXPECT_EQ(param, 3);

    int accepted = 0;
    while (ui_post_command(window, 1, 0) == 0 && accepted < 20000) ++accepted;
    EXPECT_EQ(accepted, 10000);  // the queue is bounded like a window's
    ASSERT_EQ(ui_queue_next(window, 1000, &code, &param), 0);
    EXPECT_EQ(ui_post_command(window, 1, 0), 0);  // room again

    ui_queue_close(window);
    EXPECT_EQ(ui_post_command(window, 1, 0), 0);  // accepted and dropped: nobody to tell
    EXPECT_EQ(ui_queue_next(window, 10, &code, &param), -1);
    ui_queue_destroy(window);

    EXPECT_EQ(ui_post_command(nullptr, 1, 0), 0);
}

}  // namespace
