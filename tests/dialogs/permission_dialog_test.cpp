// The permission list dialog with the scripted ui host: its columns and rows, the entries it
// stores, change, delete and moves on the rules of settings_edit_buffer, the 64-rule limit, the
// buttons for each selection, and the two ways out.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dialogs/dialogs.h"
#include "resources/resource_ids.h"
#include "sim/scripted_ui.h"
#include "support/settings_fixtures.h"

namespace {

class PermissionDialog : public ::testing::Test {
protected:
    void SetUp() override {
        scripted_ui_install();
        settings_edit_buffer = make_port("COM1");
    }
    void TearDown() override { scripted_ui_uninstall(); }

    // Runs the dialog as the port settings dialog does, with `play` as the user inside.
    static std::int32_t run(std::function<void(UiWindow *)> play) {
        scripted.play_dialog[RES_PERMISSION_DIALOG] = std::move(play);
        return ui_run_dialog(nullptr, RES_PERMISSION_DIALOG, permission_dialog_procedure);
    }
};

PermissionRule *rules() { return settings_edit_buffer.permission_rules; }

// The rows as "text permit-or-deny" lines.
std::vector<std::string> rows(UiWindow *dialog) {
    std::vector<std::string> shown;
    for (std::int32_t row = 0; row < ui_view_row_count(dialog, ID_PERM_LIST); ++row) {
        shown.push_back(scripted_cell(dialog, ID_PERM_LIST, row, 0) + " " +
                        scripted_cell(dialog, ID_PERM_LIST, row, 1));
    }
    return shown;
}

const std::string PERMIT = scripted_string(STR_PERMIT);
const std::string DENY = scripted_string(STR_DENY);

// The entry fields: the text and the chosen item.
std::string entry(UiWindow *dialog) {
    return scripted_control(dialog, ID_PERM_ENTRY)->text + " " +
           std::to_string(scripted_control(dialog, ID_PERM_CHOICE)->selection);
}

// The buttons' states: the letter of each enabled one, "-" for each disabled one, in the order
// up, down, add, delete, change.
std::string buttons(UiWindow *dialog) {
    const std::pair<std::int32_t, char> order[] = {{ID_PERM_UP, 'U'},
                                                   {ID_PERM_DOWN, 'D'},
                                                   {ID_PERM_ADD, 'A'},
                                                   {ID_PERM_DELETE, 'E'},
                                                   {ID_PERM_CHANGE, 'C'}};
    std::string states;
    for (const auto &[id, letter] : order) {
        states += scripted_control(dialog, id)->enabled ? letter : '-';
    }
    return states;
}

void enter(UiWindow *dialog, const std::string &text, bool permit) {
    scripted_type(dialog, ID_PERM_ENTRY, text);
    scripted_choose_combo(dialog, ID_PERM_CHOICE, permit ? 0 : 1);
}

TEST_F(PermissionDialog, OpensWithThePackedRulesAndNothingSelected) {
    rules()[0] = host_rule("a.example", true);
    rules()[3] = address_rule(192, 168, 1, 0, 24, false);
    rules()[10] = address_rule(0, 0, 0, 0, 5, true);
    run([](UiWindow *dialog) {
        const auto &columns = scripted_control(dialog, ID_PERM_LIST)->columns;
        std::int32_t width = ui_view_client_width(dialog, ID_PERM_LIST);
        ASSERT_EQ(columns.size(), 2u);
        EXPECT_EQ(columns[0].title, scripted_string(STR_PERM_COLUMN_ADDRESS));
        EXPECT_EQ(columns[1].title, scripted_string(STR_PERM_COLUMN_PERMIT));
        EXPECT_EQ(columns[0].width, width * 6 / 10);
        EXPECT_EQ(columns[0].width + columns[1].width, width);
        EXPECT_EQ(scripted_control(dialog, ID_PERM_CHOICE)->items,
                  (std::vector<std::string>{PERMIT, DENY}));
        EXPECT_EQ(entry(dialog), " 0");
        EXPECT_EQ(rows(dialog), (std::vector<std::string>{"a.example " + PERMIT,
                                                          "192.168.1.0/24 " + DENY,
                                                          "ALL " + PERMIT}));
        EXPECT_EQ(first_selected_row(dialog), -1);
        EXPECT_EQ(buttons(dialog), "--A--");
        scripted_click(dialog, ID_PERM_CLOSE);
    });
    EXPECT_EQ(rules()[1].pattern[0], 192);
    EXPECT_EQ(rules()[2].pattern[4], 5);
    EXPECT_EQ(rules()[3].in_use, 0);
    EXPECT_EQ(rules()[10].in_use, 0);
}

TEST_F(PermissionDialog, AddedEntriesAndHowTheyAreShown) {
    struct Added {
        const char *text;
        bool permit;
        const char *row;  // null: nothing added
    };
    // The parsing itself is the rules' test; here: what a row shows, and the fields emptied
    // whether or not anything was added.
    const Added added[] = {
        {"all", false, "ALL"},
        {"192.168.001.000/024", true, "192.168.1.0/24"},
        {"10.0.0.1a", false, "10.0.0.1a"},
        {"  ", false, nullptr},
        {"...", true, nullptr},
    };
    run([&added](UiWindow *dialog) {
        std::vector<std::string> expected;
        for (const Added &each : added) {
            enter(dialog, each.text, each.permit);
            scripted_click(dialog, ID_PERM_ADD);
            if (each.row != nullptr) {
                expected.push_back(std::string(each.row) + " " + (each.permit ? PERMIT : DENY));
            }
            EXPECT_EQ(rows(dialog), expected) << each.text;
            // Added or not, the fields are emptied.
            EXPECT_EQ(entry(dialog), " 0") << each.text;
            EXPECT_EQ(buttons(dialog), "--A--");
        }
        scripted_click(dialog, ID_PERM_CLOSE);
    });
    EXPECT_EQ(rules()[2].is_host_name, 1);
    EXPECT_EQ(rules()[3].in_use, 0);
}

TEST_F(PermissionDialog, ChangeReplacesTheSelectedRuleAndShowsItAgain) {
    rules()[0] = host_rule("first", true);
    rules()[1] = address_rule(10, 0, 0, 0, 0, true);
    rules()[2] = host_rule("last", false);
    run([](UiWindow *dialog) {
        scripted_choose_row(dialog, ID_PERM_LIST, 1);
        EXPECT_EQ(entry(dialog), "10.0.0.0 0");
        enter(dialog, "192.168.001.000/024", false);
        scripted_click(dialog, ID_PERM_CHANGE);
        EXPECT_EQ(rows(dialog), (std::vector<std::string>{"first " + PERMIT,
                                                          "192.168.1.0/24 " + DENY,
                                                          "last " + DENY}));
        EXPECT_EQ(first_selected_row(dialog), 1);
        EXPECT_EQ(entry(dialog), "192.168.1.0/24 1");
        EXPECT_EQ(buttons(dialog), "UDAEC");

        // An empty entry changes nothing.
        enter(dialog, "  ", true);
        scripted_click(dialog, ID_PERM_CHANGE);
        EXPECT_EQ(rows(dialog)[1], "192.168.1.0/24 " + DENY);
        EXPECT_EQ(entry(dialog), "192.168.1.0/24 1");
        scripted_click(dialog, ID_PERM_CLOSE);
    });
    EXPECT_EQ(std::vector<int>(rules()[1].pattern, rules()[1].pattern + 5),
              (std::vector<int>{192, 168, 1, 0, 24}));
    EXPECT_EQ(rules()[1].permit, 0);
}

TEST_F(PermissionDialog, ASelectedRowFillsTheEntryAndSetsTheButtons) {
    rules()[0] = host_rule("one", true);
    rules()[1] = host_rule("two", false);
    rules()[2] = address_rule(0, 0, 0, 0, 0, true);
    rules()[3] = address_rule(172, 16, 0, 0, 12, false);
    run([](UiWindow *dialog) {
        const std::pair<std::int32_t, const char *> cases[] = {{0, "-DAEC one 0"},
                                                               {1, "UDAEC two 1"},
                                                               {2, "UDAEC ALL 0"},
                                                               {3, "U-AEC 172.16.0.0/12 1"}};
        for (const auto &[row, expected] : cases) {
            scripted_choose_row(dialog, ID_PERM_LIST, row);
            EXPECT_EQ(buttons(dialog) + " " + entry(dialog), expected) << row;
        }
        // Deselecting keeps the fields as they are.
        scripted_choose_row(dialog, ID_PERM_LIST, -1);
        EXPECT_EQ(buttons(dialog) + " " + entry(dialog), "--A-- 172.16.0.0/12 1");
        scripted_escape(dialog);
    });

    std::memset(rules(), 0, sizeof settings_edit_buffer.permission_rules);
    rules()[0] = host_rule("only", true);
    run([](UiWindow *dialog) {
        scripted_choose_row(dialog, ID_PERM_LIST, 0);
        EXPECT_EQ(buttons(dialog), "--AEC");
        scripted_escape(dialog);
    });
}

TEST_F(PermissionDialog, MovesSwapWholeRulesAndKeepTheMovedOneSelected) {
    rules()[0] = host_rule("alpha", true);
    rules()[1] = address_rule(10, 1, 2, 3, 0, false);
    rules()[2] = host_rule("gamma", false);
    PermissionRule original[PERMISSION_RULE_COUNT];
    std::memcpy(original, rules(), sizeof original);
    run([](UiWindow *dialog) {
        scripted_choose_row(dialog, ID_PERM_LIST, 0);
        scripted_click(dialog, ID_PERM_DOWN);
        EXPECT_EQ(rows(dialog), (std::vector<std::string>{"10.1.2.3 " + DENY, "alpha " + PERMIT,
                                                          "gamma " + DENY}));
        EXPECT_EQ(first_selected_row(dialog), 1);
        EXPECT_EQ(entry(dialog), "alpha 0");
        scripted_click(dialog, ID_PERM_DOWN);
        EXPECT_EQ(first_selected_row(dialog), 2);
        EXPECT_EQ(buttons(dialog), "U-AEC");
        scripted_click(dialog, ID_PERM_UP);
        scripted_click(dialog, ID_PERM_UP);
        EXPECT_EQ(first_selected_row(dialog), 0);
        EXPECT_EQ(buttons(dialog), "-DAEC");
        // At the ends nothing moves.
        EXPECT_EQ(ui_send_command(dialog, PERM_MOVE_UP, 0, 0), 1);
        scripted_choose_row(dialog, ID_PERM_LIST, 2);
        EXPECT_EQ(ui_send_command(dialog, PERM_MOVE_DOWN, 0, 0), 1);
        scripted_choose_row(dialog, ID_PERM_LIST, -1);
        EXPECT_EQ(ui_send_command(dialog, PERM_MOVE_DOWN, 0, 0), 1);
        scripted_click(dialog, ID_PERM_CLOSE);
    });
    EXPECT_EQ(std::memcmp(original, rules(), sizeof original), 0);
}

TEST_F(PermissionDialog, DeletingMovesTheLaterRulesUpInOrder) {
    const char *names[] = {"r0", "r1", "r2", "r3"};
    for (int r = 0; r < 4; ++r) rules()[r] = host_rule(names[r], r % 2 == 0);
    run([](UiWindow *dialog) {
        scripted_choose_row(dialog, ID_PERM_LIST, 1);
        enter(dialog, "typed", false);
        scripted_click(dialog, ID_PERM_DELETE);
        EXPECT_EQ(rows(dialog), (std::vector<std::string>{"r0 " + PERMIT, "r2 " + PERMIT,
                                                          "r3 " + DENY}));
        EXPECT_EQ(first_selected_row(dialog), -1);
        EXPECT_EQ(buttons(dialog), "--A--");
        EXPECT_EQ(entry(dialog), "typed 1");  // kept
        scripted_click(dialog, ID_PERM_CLOSE);
    });
    EXPECT_STREQ(reinterpret_cast<const char *>(rules()[2].pattern), "r3");
    const PermissionRule zero{};
    EXPECT_EQ(std::memcmp(&rules()[3], &zero, sizeof zero), 0);
}

TEST_F(PermissionDialog, SixtyFourRulesLeaveNoRoomForAnother) {
    for (int r = 0; r < PERMISSION_RULE_COUNT; ++r) rules()[r] = address_rule(10, 0, 0, r, 0, true);
    PermissionRule before[PERMISSION_RULE_COUNT];
    std::memcpy(before, rules(), sizeof before);
    UiWindow *shown = nullptr;
    scripted.answer_box = [](const ScriptedBox &) { return UI_ANSWER_OK; };
    run([&shown](UiWindow *dialog) {
        shown = dialog;
        EXPECT_EQ(ui_view_row_count(dialog, ID_PERM_LIST), PERMISSION_RULE_COUNT);
        enter(dialog, "example.com", false);
        EXPECT_EQ(buttons(dialog), "--A--");
        scripted_click(dialog, ID_PERM_ADD);
        EXPECT_EQ(entry(dialog), "example.com 1");  // nothing else happens
        scripted_click(dialog, ID_PERM_CLOSE);
    });
    ASSERT_EQ(scripted.boxes.size(), 1u);
    EXPECT_EQ(scripted.boxes[0].text, scripted_string(STR_NO_FREE_RULE));
    EXPECT_EQ(scripted.boxes[0].style, UI_BOX_OK_EXCLAMATION);
    EXPECT_EQ(scripted.boxes[0].owner, shown);
    EXPECT_EQ(std::memcmp(before, rules(), sizeof before), 0);
}

TEST_F(PermissionDialog, BothWaysOutKeepTheChanges) {
    const std::pair<bool, std::int32_t> ways[] = {{false, 1}, {true, 0}};
    for (const auto &[escape, result] : ways) {
        std::memset(rules(), 0, sizeof settings_edit_buffer.permission_rules);
        EXPECT_EQ(run([escape](UiWindow *dialog) {
                      enter(dialog, "127.0.0.1", true);
                      scripted_click(dialog, ID_PERM_ADD);
                      if (escape) {
                          scripted_escape(dialog);
                      } else {
                          scripted_click(dialog, ID_PERM_CLOSE);
                      }
                  }),
                  result);
        EXPECT_EQ(rules()[0].in_use, 1) << escape;
        EXPECT_EQ(rules()[0].pattern[0], 127) << escape;
    }
}

TEST_F(PermissionDialog, CommandCodesOutsideTheTableAndRulesOutsideTheList) {
    PermissionRule before[PERMISSION_RULE_COUNT];
    std::memcpy(before, rules(), sizeof before);
    run([](UiWindow *dialog) {
        EXPECT_EQ(ui_send_command(dialog, 0, 0, 0), 0);
        EXPECT_EQ(ui_send_command(dialog, 10, 0, 0), 0);
        enter(dialog, "10.0.0.1", true);
        EXPECT_EQ(ui_send_command(dialog, PERM_STORE_EDIT, 0, PERMISSION_RULE_COUNT), 1);
        EXPECT_EQ(ui_send_command(dialog, PERM_STORE_EDIT, 0, -1), 1);
        scripted_escape(dialog);
    });
    EXPECT_EQ(std::memcmp(before, rules(), sizeof before), 0);
}

}  // namespace
