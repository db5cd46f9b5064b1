// The port list dialog with the scripted ui host: its list and buttons, moving, editing, adding and
// deleting ports in the live list, and the file written when it closes, whichever way.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "dialogs/dialogs.h"
#include "gateway/port_allocation.h"
#include "platform/file.h"
#include "resources/resource_ids.h"
#include "serial/serial.h"
#include "settings/port_list.h"
#include "settings/settings_file.h"
#include "sim/scripted_ui.h"
#include "sim/sim_serial.h"
#include "support/settings_fixtures.h"
#include "support/test_dir.h"

namespace {

class SetupDialog : public ::testing::Test {
protected:
    void SetUp() override {
        scripted_ui_install();
        ASSERT_TRUE(load_settings("NORVEX.DAT", nullptr));
    }
    void TearDown() override {
        file_fail_call(0);
        port_list_clear();
        scripted_ui_uninstall();
    }

    void add(std::initializer_list<const char *> names) {
        for (const char *name : names) {
            PortSettings port = make_port(name);
            ASSERT_TRUE(port_list_add(&port));
        }
    }

    // The port list's names in order.
    static std::string names() {
        std::string joined;
        for (std::int32_t i = 0; PortRecord *record = port_list_at(i); ++i) {
            joined += (i == 0 ? "" : ",") + std::string(record->settings.port_name);
        }
        return joined;
    }

    // Runs the dialog as the main window does, with `play` as the user inside. Its result.
    static std::int32_t run(std::function<void(UiWindow *)> play) {
        scripted.play_dialog[RES_SETUP_DIALOG] = std::move(play);
        return ui_run_dialog(nullptr, RES_SETUP_DIALOG, setup_dialog_procedure);
    }

    // What save_settings writes for the settings in memory now.
    static std::vector<std::uint8_t> saved_now() {
        EXPECT_TRUE(save_settings("expected.DAT"));
        return read_whole_file("expected.DAT");
    }

    ScopedTestDir dir;
};

std::string lines(UiWindow *dialog) {
    std::string joined;
    for (const std::string &item : scripted_control(dialog, ID_SETUP_PORT_LIST)->items) {
        joined += (joined.empty() ? "" : ",") + item;
    }
    return joined;
}

std::int32_t selection(UiWindow *dialog) {
    return scripted_control(dialog, ID_SETUP_PORT_LIST)->selection;
}

// The buttons' states: the letter of each enabled button, "-" for each disabled one, in the
// order up, down, settings, add, delete, close.
std::string buttons(UiWindow *dialog) {
    const std::pair<std::int32_t, char> order[] = {{ID_SETUP_UP, 'U'},  {ID_SETUP_DOWN, 'D'},
                                                   {ID_SETUP_EDIT, 'S'}, {ID_SETUP_ADD, 'A'},
                                                   {ID_SETUP_DELETE, 'E'}, {ID_SETUP_CLOSE, 'C'}};
    std::string states;
    for (const auto &[id, letter] : order) {
        states += scripted_control(dialog, id)->enabled ? letter : '-';
    }
    return states;
}

TEST_F(SetupDialog, AnEmptyListOffersOnlyAddAndCloseAndClosingWritesTheOptions) {
    std::filesystem::remove("NORVEX.DAT");
    EXPECT_EQ(run([](UiWindow *dialog) {
                  EXPECT_EQ(lines(dialog), "");
                  EXPECT_EQ(buttons(dialog), "---A-C");
                  scripted_click(dialog, ID_SETUP_CLOSE);
              }),
              0);
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), default_file_bytes());
    EXPECT_TRUE(scripted.boxes.empty());
}

TEST_F(SetupDialog, ButtonsFollowTheSelection) {
    add({"COM1", "COM2", "COM3", "COM4"});
    run([](UiWindow *dialog) {
        EXPECT_EQ(lines(dialog), "COM1,COM2,COM3,COM4");
        EXPECT_EQ(selection(dialog), -1);
        EXPECT_EQ(buttons(dialog), "---A-C");
        const std::pair<std::int32_t, const char *> cases[] = {
            {0, "-DSAEC"}, {1, "UDSAEC"}, {2, "UDSAEC"}, {3, "U-SAEC"}, {-1, "---A-C"}};
        for (const auto &[row, expected] : cases) {
            scripted_choose_list(dialog, ID_SETUP_PORT_LIST, row);
            EXPECT_EQ(buttons(dialog), expected) << row;
        }
        scripted_click(dialog, ID_SETUP_CLOSE);
    });
    port_list_clear();
    std::filesystem::remove("NORVEX.DAT");
    ASSERT_TRUE(load_settings("NORVEX.DAT", nullptr));
    add({"COM1"});
    run([](UiWindow *dialog) {
        scripted_choose_list(dialog, ID_SETUP_PORT_LIST, 0);
        EXPECT_EQ(buttons(dialog), "--SAEC");
        scripted_escape(dialog);
    });
}

TEST_F(SetupDialog, AMovedPortStaysSelectedAndIsTriedInItsNewPlace) {
    add({"COM1", "COM2", "COM3", "COM4"});
    run([](UiWindow *dialog) {
        scripted_choose_list(dialog, ID_SETUP_PORT_LIST, 2);
        scripted_click(dialog, ID_SETUP_UP);
        EXPECT_EQ(lines(dialog), "COM1,COM3,COM2,COM4");
        EXPECT_EQ(names(), "COM1,COM3,COM2,COM4");  // in memory at once
        EXPECT_EQ(selection(dialog), 1);
        EXPECT_EQ(buttons(dialog), "UDSAEC");

        scripted_click(dialog, ID_SETUP_DOWN);
        scripted_click(dialog, ID_SETUP_DOWN);
        EXPECT_EQ(lines(dialog), "COM1,COM2,COM4,COM3");
        EXPECT_EQ(selection(dialog), 3);
        EXPECT_EQ(buttons(dialog), "U-SAEC");
        scripted_click(dialog, ID_SETUP_UP);
        EXPECT_EQ(lines(dialog), "COM1,COM2,COM3,COM4");
        scripted_choose_list(dialog, ID_SETUP_PORT_LIST, 2);
        scripted_click(dialog, ID_SETUP_UP);

        // Nowhere to go: nothing moves, the code is still handled.
        EXPECT_EQ(ui_send_command(dialog, SETUP_MOVE, 0, 0), 1);
        EXPECT_EQ(ui_send_command(dialog, SETUP_MOVE, 1, 3), 1);
        EXPECT_EQ(ui_send_command(dialog, SETUP_MOVE, 0, -1), 1);
        EXPECT_EQ(names(), "COM1,COM3,COM2,COM4");
        scripted_click(dialog, ID_SETUP_CLOSE);
    });
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), saved_now());

    // The next caller is offered COM3 before COM2.
    const char no_host_name[64] = {};
    PortRecord *first = port_allocate(no_host_name, 0x7F000001);
    PortRecord *second = port_allocate(no_host_name, 0x7F000001);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(first->settings.port_name, "COM1");
    EXPECT_STREQ(second->settings.port_name, "COM3");
    port_release(second);
    port_release(first);
}

TEST_F(SetupDialog, EscapeSavesExactlyAsClose) {
    add({"COM1", "COM2", "COM3"});
    for (bool escape : {false, true}) {
        std::filesystem::remove("NORVEX.DAT");
        EXPECT_EQ(run([escape](UiWindow *dialog) {
                      scripted_choose_list(dialog, ID_SETUP_PORT_LIST, 1);
                      scripted_click(dialog, ID_SETUP_DOWN);
                      if (escape) {
                          scripted_escape(dialog);
                      } else {
                          scripted_click(dialog, ID_SETUP_CLOSE);
                      }
                  }),
                  0);
        EXPECT_EQ(read_whole_file("NORVEX.DAT").size(), 1792u + 3 * 8448u) << escape;
        EXPECT_EQ(read_whole_file("NORVEX.DAT"), saved_now()) << escape;
    }
    EXPECT_EQ(names(), "COM1,COM2,COM3");  // moved down twice
    EXPECT_TRUE(scripted.boxes.empty());
}

TEST_F(SetupDialog, AFailedSaveIsReportedAndTheDialogStillEnds) {
    add({"COM1"});
    std::vector<std::uint8_t> before = read_whole_file("NORVEX.DAT");
    scripted.answer_box = [](const ScriptedBox &) { return UI_ANSWER_OK; };
    UiWindow *shown = nullptr;
    EXPECT_EQ(run([&shown](UiWindow *dialog) {
                  shown = dialog;
                  file_fail_call(1);
                  scripted_click(dialog, ID_SETUP_CLOSE);
              }),
              0);
    ASSERT_EQ(scripted.boxes.size(), 1u);
    EXPECT_EQ(scripted.boxes[0].text, scripted_string(STR_DATA_WRITE_FAILED));
    EXPECT_EQ(scripted.boxes[0].caption, "NORVEX");
    EXPECT_EQ(scripted.boxes[0].style, UI_BOX_OK_EXCLAMATION);
    EXPECT_EQ(scripted.boxes[0].owner, shown);
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), before);
    EXPECT_EQ(names(), "COM1");
}

// What the port settings dialog showed when it opened, and the user cancelled it.
struct Opened {
    std::string title;
    std::int32_t name_item = -2;
    bool name_enabled = true;
    std::int32_t speed_item = -2;
};

TEST_F(SetupDialog, ADoubleClickOpensThePortSettingsAsTheButtonDoes) {
    add({"COM1", "COM2"});
    PortSettings second = port_list_at(1)->settings;
    second.baud_rate = 115200;
    ASSERT_TRUE(port_list_update(port_list_at(1), &second));
    std::vector<Opened> opened;
    scripted.play_dialog[RES_PORTSETUP_DIALOG] = [&opened](UiWindow *dialog) {
        opened.push_back(Opened{scripted_window(dialog)->title,
                                scripted_control(dialog, ID_PORT_NAME)->selection,
                                scripted_control(dialog, ID_PORT_NAME)->enabled,
                                scripted_control(dialog, ID_PORT_BAUD_RATE)->selection});
        scripted_click(dialog, ID_PORT_CANCEL);
    };
    run([](UiWindow *dialog) {
        scripted_double_click_list(dialog, ID_SETUP_PORT_LIST, 1);
        // Rebuilt afterwards, with nothing selected.
        EXPECT_EQ(lines(dialog), "COM1,COM2");
        EXPECT_EQ(selection(dialog), -1);
        EXPECT_EQ(buttons(dialog), "---A-C");
        scripted_choose_list(dialog, ID_SETUP_PORT_LIST, 1);
        scripted_click(dialog, ID_SETUP_EDIT);
        // A double click away from any line opens nothing.
        scripted_double_click_list(dialog, ID_SETUP_PORT_LIST, -1);
        scripted_click(dialog, ID_SETUP_CLOSE);
    });
    ASSERT_EQ(opened.size(), 2u);
    for (const Opened &each : opened) {
        EXPECT_EQ(each.title, scripted_string(STR_TITLE_PORT_SETTINGS));
        EXPECT_EQ(each.name_item, 1);
        EXPECT_FALSE(each.name_enabled);
        EXPECT_EQ(each.speed_item, 8);  // 115200
    }
    EXPECT_EQ(adding_port, 0);
}

TEST_F(SetupDialog, AnEditIsAppliedOnOkAndDroppedOnCancelPermissionsIncluded) {
    add({"COM1", "COM2"});
    PortSettings unchanged = port_list_at(0)->settings;

    // Cancel after a speed and a new permission rule: the port stays as it was.
    scripted.play_dialog[RES_PERMISSION_DIALOG] = [](UiWindow *dialog) {
        scripted_type(dialog, ID_PERM_ENTRY, "10.0.0.1");
        scripted_click(dialog, ID_PERM_ADD);
        EXPECT_EQ(scripted_cell(dialog, ID_PERM_LIST, 0, 0), "10.0.0.1");
        scripted_click(dialog, ID_PERM_CLOSE);
    };
    scripted.play_dialog[RES_PORTSETUP_DIALOG] = [](UiWindow *dialog) {
        scripted_choose_combo(dialog, ID_PORT_BAUD_RATE, 5);
        scripted_click(dialog, ID_PORT_PERMISSIONS);
        scripted_click(dialog, ID_PORT_CANCEL);
    };
    run([](UiWindow *dialog) {
        scripted_choose_list(dialog, ID_SETUP_PORT_LIST, 0);
        scripted_click(dialog, ID_SETUP_EDIT);
        scripted_click(dialog, ID_SETUP_CLOSE);
    });
    EXPECT_EQ(std::memcmp(&port_list_at(0)->settings, &unchanged, sizeof unchanged), 0);

    // The same with OK: both reach the port, and the file.
    scripted.play_dialog[RES_PORTSETUP_DIALOG] = [](UiWindow *dialog) {
        scripted_choose_combo(dialog, ID_PORT_BAUD_RATE, 5);
        scripted_click(dialog, ID_PORT_PERMISSIONS);
        scripted_click(dialog, ID_PORT_OK);
    };
    run([](UiWindow *dialog) {
        scripted_double_click_list(dialog, ID_SETUP_PORT_LIST, 0);
        scripted_escape(dialog);
    });
    const PortSettings &edited = port_list_at(0)->settings;
    EXPECT_EQ(edited.baud_rate, 19200);
    EXPECT_EQ(edited.permission_rules[0].in_use, 1);
    EXPECT_EQ(edited.permission_rules[0].pattern[3], 1);
    EXPECT_EQ(edited.permission_rules[1].in_use, 0);
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), saved_now());
    EXPECT_TRUE(scripted.boxes.empty());
}

TEST_F(SetupDialog, AnAddedPortComesLastWithTheDefaults) {
    add({"COM1", "com3"});
    scripted.play_dialog[RES_PORTSETUP_DIALOG] = [](UiWindow *dialog) {
        EXPECT_EQ(scripted_control(dialog, ID_PORT_NAME)->items,
                  (std::vector<std::string>{"COM2", "COM4", "COM5", "COM6", "COM7", "COM8",
                                            "COM9"}));
        scripted_choose_combo(dialog, ID_PORT_NAME, 1);
        scripted_click(dialog, ID_PORT_OK);
    };
    run([](UiWindow *dialog) {
        scripted_choose_list(dialog, ID_SETUP_PORT_LIST, 0);
        scripted_click(dialog, ID_SETUP_ADD);
        EXPECT_EQ(lines(dialog), "COM1,com3,COM4");
        EXPECT_EQ(selection(dialog), -1);
        EXPECT_EQ(buttons(dialog), "---A-C");
        scripted_click(dialog, ID_SETUP_CLOSE);
    });
    EXPECT_EQ(adding_port, 1);
    ASSERT_EQ(port_list.port_count, 3);
    PortSettings expected = make_port("COM4");
    EXPECT_EQ(std::memcmp(&port_list_at(2)->settings, &expected, sizeof expected), 0);

    // Cancelled: nothing added.
    scripted.play_dialog[RES_PORTSETUP_DIALOG] = [](UiWindow *dialog) {
        scripted_click(dialog, ID_PORT_CANCEL);
    };
    run([](UiWindow *dialog) {
        scripted_click(dialog, ID_SETUP_ADD);
        scripted_click(dialog, ID_SETUP_CLOSE);
    });
    EXPECT_EQ(names(), "COM1,com3,COM4");
}

// An add and then an edit of another port in one session of the dialog: the edit opens as an
// edit, on that port's own settings, and neither renames it nor loses the added port.
TEST_F(SetupDialog, AnEditAfterAnAddInTheSameSessionEditsThatPort) {
    add({"COM1", "COM2"});
    PortSettings second = port_list_at(1)->settings;
    second.idle_timeout_s = 77;
    ASSERT_TRUE(port_list_update(port_list_at(1), &second));
    std::vector<Opened> opened;
    scripted.play_dialog[RES_PORTSETUP_DIALOG] = [&opened](UiWindow *dialog) {
        opened.push_back(Opened{scripted_window(dialog)->title,
                                scripted_control(dialog, ID_PORT_NAME)->selection,
                                scripted_control(dialog, ID_PORT_NAME)->enabled,
                                scripted_control(dialog, ID_PORT_BAUD_RATE)->selection});
        scripted_choose_combo(dialog, ID_PORT_BAUD_RATE, 5);  // 19200
        scripted_click(dialog, ID_PORT_OK);
    };
    run([](UiWindow *dialog) {
        scripted_click(dialog, ID_SETUP_ADD);
        EXPECT_EQ(lines(dialog), "COM1,COM2,COM3");
        scripted_choose_list(dialog, ID_SETUP_PORT_LIST, 1);
        scripted_click(dialog, ID_SETUP_EDIT);
        EXPECT_EQ(lines(dialog), "COM1,COM2,COM3");
        scripted_click(dialog, ID_SETUP_CLOSE);
    });
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[0].title, scripted_string(STR_TITLE_ADD_PORT));
    EXPECT_EQ(opened[1].title, scripted_string(STR_TITLE_PORT_SETTINGS));
    EXPECT_FALSE(opened[1].name_enabled);
    EXPECT_EQ(opened[1].name_item, 1);  // COM2 among the nine names
    EXPECT_EQ(names(), "COM1,COM2,COM3");
    const PortSettings &edited = port_list_at(1)->settings;
    EXPECT_STREQ(edited.port_name, "COM2");
    EXPECT_EQ(edited.baud_rate, 19200);
    EXPECT_EQ(edited.idle_timeout_s, 77);  // its own settings, not a new port's
    EXPECT_EQ(port_list_at(2)->settings.baud_rate, 19200);
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), saved_now());
}

TEST_F(SetupDialog, WithNinePortsNothingCanBeAdded) {
    add({"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9"});
    scripted.answer_box = [](const ScriptedBox &) { return UI_ANSWER_OK; };
    scripted.play_dialog[RES_PORTSETUP_DIALOG] = [](UiWindow *) {
        ADD_FAILURE() << "the port settings dialog was shown";
    };
    run([](UiWindow *dialog) {
        scripted_click(dialog, ID_SETUP_ADD);
        scripted_click(dialog, ID_SETUP_CLOSE);
    });
    EXPECT_EQ(scripted_box_texts(), std::vector<std::string>{scripted_string(STR_NO_PORT_TO_ADD)});
    EXPECT_EQ(port_list.port_count, 9);
}

TEST_F(SetupDialog, APortSettingsDialogThatCannotBeMadeChangesNothing) {
    add({"COM1"});
    // A buffer left over from another edit must not become a port.
    settings_edit_buffer = make_port("COM7");
    scripted.missing_dialogs.push_back(RES_PORTSETUP_DIALOG);
    PortSettings before = port_list_at(0)->settings;
    run([](UiWindow *dialog) {
        scripted_click(dialog, ID_SETUP_ADD);
        scripted_double_click_list(dialog, ID_SETUP_PORT_LIST, 0);
        scripted_click(dialog, ID_SETUP_CLOSE);
    });
    EXPECT_EQ(names(), "COM1");
    EXPECT_EQ(std::memcmp(&port_list_at(0)->settings, &before, sizeof before), 0);
}

TEST_F(SetupDialog, DeletingTakesThePortAtOnceWithoutAQuestion) {
    add({"COM1", "COM2", "COM3"});
    scripted.answer_box = [](const ScriptedBox &) { return UI_ANSWER_OK; };
    run([](UiWindow *dialog) {
        scripted_choose_list(dialog, ID_SETUP_PORT_LIST, 1);
        scripted_click(dialog, ID_SETUP_DELETE);
        EXPECT_EQ(lines(dialog), "COM1,COM3");
        EXPECT_EQ(names(), "COM1,COM3");
        EXPECT_EQ(selection(dialog), -1);
        EXPECT_EQ(buttons(dialog), "---A-C");
        EXPECT_TRUE(scripted.boxes.empty());

        // No port at the position: 1006, and the list box is rebuilt whole.
        EXPECT_EQ(ui_send_command(dialog, SETUP_DELETE_PORT, 0, 5), 1);
        EXPECT_EQ(scripted_box_texts(),
                  std::vector<std::string>{scripted_string(STR_PORT_REMOVE_FAILED)});
        EXPECT_EQ(lines(dialog), "COM1,COM3");
        scripted_click(dialog, ID_SETUP_CLOSE);
    });
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), saved_now());
}

TEST_F(SetupDialog, CommandCodesBeyondTheTableAreNotHandled) {
    run([](UiWindow *dialog) {
        EXPECT_EQ(ui_send_command(dialog, SETUP_UPDATE_BUTTONS, 0, 0), 1);
        EXPECT_EQ(ui_send_command(dialog, 7, 0, 0), 0);
        EXPECT_EQ(ui_send_command(dialog, -1, 0, 0), 0);
        EXPECT_EQ(ui_send_command(dialog, SETUP_CLOSE, 1, 0), 1);
    });
}

// A port whose modem emulator cannot start: the change or the new port stays, without emulator,
// and the user is told. (Each takes the emulator's ten tries to open the port, about 5 s.)
TEST_F(SetupDialog, AnEmulatorThatCannotStartIsReported) {
    SimSerial *device = sim_serial_create("SIM1");
    ASSERT_NE(device, nullptr);
    PortSettings sim = make_port("SIM1");
    ASSERT_TRUE(port_list_add(&sim));
    // Held open here, so the emulator cannot have it.
    ComHandle held = serial_open(&sim);
    ASSERT_NE(held, COM_INVALID_HANDLE);
    // COM1 must fail too, and never reach the machine's console: a link to nothing makes the
    // Linux program fail the open (the wine prefix of the tests maps no COM port).
    std::error_code ignored;
    std::filesystem::create_symlink("no-such-device", "COM1", ignored);

    scripted.answer_box = [](const ScriptedBox &) { return UI_ANSWER_OK; };
    scripted.play_dialog[RES_PORTSETUP_DIALOG] = [](UiWindow *dialog) {
        scripted_check(dialog, ID_PORT_MODEM_EMULATION, true);
        scripted_click(dialog, ID_PORT_OK);
    };
    run([](UiWindow *dialog) {
        scripted_double_click_list(dialog, ID_SETUP_PORT_LIST, 0);
        scripted_click(dialog, ID_SETUP_ADD);
        EXPECT_EQ(lines(dialog), "SIM1,COM1");
        scripted_click(dialog, ID_SETUP_CLOSE);
    });
    EXPECT_EQ(scripted_box_texts(),
              (std::vector<std::string>{scripted_string(STR_PORT_UPDATE_FAILED),
                                        scripted_string(STR_PORT_ADD_FAILED)}));
    for (std::int32_t position : {0, 1}) {
        PortRecord *record = port_list_at(position);
        EXPECT_EQ(record->settings.modem_emulation, 1) << position;
        EXPECT_EQ(record->emulator_running.load(), 0) << position;
    }
    EXPECT_STREQ(port_list_at(0)->settings.port_name, "SIM1");  // no COM item: name kept
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), saved_now());
    EXPECT_EQ(serial_close(held), 0);
    port_list_clear();
    sim_serial_destroy(device);
}

}  // namespace
