// The about box with the scripted ui host: the version it shows and the one way it closes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "dialogs/dialogs.h"
#include "platform/version.h"
#include "resources/resource_ids.h"
#include "sim/scripted_ui.h"

namespace {

class AboutBox : public ::testing::Test {
protected:
    void SetUp() override {
        std::memcpy(kept, version_text, sizeof kept);
        scripted_ui_install();
    }
    void TearDown() override {
        scripted_ui_uninstall();
        std::memcpy(version_text, kept, sizeof kept);
    }
    char kept[sizeof version_text];
};

std::int32_t run_about(std::function<void(UiWindow *)> play) {
    scripted.play_dialog[RES_VERSION_DIALOG] = std::move(play);
    return ui_run_dialog(nullptr, RES_VERSION_DIALOG, about_dialog_procedure);
}

TEST_F(AboutBox, ShowsTheVersionAndClosesOnlyWithItsCloseCommand) {
    std::strcpy(version_text, "1.07");
    EXPECT_EQ(run_about([](UiWindow *dialog) {
                  EXPECT_EQ(scripted_control(dialog, ID_ABOUT_VERSION)->text, "1.07");
                  // Anything but id 2 leaves it open; "閉じる", Enter and Esc are all id 2.
                  EXPECT_EQ(ui_send_command(dialog, 0, 0, 0), 0);
                  scripted_click(dialog, ID_OK);
                  EXPECT_FALSE(scripted_window(dialog)->ended);
                  scripted_escape(dialog);
              }),
              0);

    // No version resource: an empty line, and it still opens and closes.
    version_text[0] = '\0';
    EXPECT_EQ(run_about([](UiWindow *dialog) {
                  EXPECT_EQ(scripted_control(dialog, ID_ABOUT_VERSION)->text, "");
                  scripted_click(dialog, ID_ABOUT_CLOSE);
              }),
              0);
}

}  // namespace
