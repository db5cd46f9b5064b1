// The operator's changes to NORVEX.DAT, made on its image with the settings dialogs' rules: a new
// port gets the port settings dialog's defaults and one of the names it offers, values are read as
// the dialogs read them, a rule entry is parsed as the permission dialog parses it and the rules
// are kept packed as that dialog keeps them. Each edit answers 0 with *done saying what was done
// in one line, or -1 with *problem saying what is wrong and what is allowed, the image then
// unchanged. Names and values are as settings_fields.h lists them; a port is named as `show`
// shows it, without regard to case.
#pragma once

#include <string>
#include <vector>

#include "settings/settings_file.h"
#include "settings/settings_ini.h"

// Options of NORVEX.INI (ini_option_fields) go into `ini`, the others into the image.
int edit_options_set(SettingsImage *image, IniDocument *ini,
                     const std::vector<std::string> &assignments, std::string *done,
                     std::string *problem);
// A port's settings of NORVEX.INI (ini_port_fields) go under its heading in `ini`. A port added
// starts without them; a port removed takes them along.
int edit_port_add(SettingsImage *image, IniDocument *ini, const std::string &name,
                  const std::vector<std::string> &assignments, std::string *done,
                  std::string *problem);
int edit_port_set(SettingsImage *image, IniDocument *ini, const std::string &name,
                  const std::vector<std::string> &assignments, std::string *done,
                  std::string *problem);
int edit_port_remove(SettingsImage *image, IniDocument *ini, const std::string &name,
                     std::string *done, std::string *problem);
// direction: "up" (towards the first port, tried first) or "down".
int edit_port_move(SettingsImage *image, const std::string &name, const std::string &direction,
                   std::string *done, std::string *problem);
// verdict: "permit" or "deny". The rule goes to the end of the port's list.
int edit_rule_add(SettingsImage *image, const std::string &name, const std::string &verdict,
                  const std::string &entry, std::string *done, std::string *problem);
// number: the rule's place in the list as `show` numbers it, from 1.
int edit_rule_remove(SettingsImage *image, const std::string &name, const std::string &number,
                     std::string *done, std::string *problem);
int edit_rule_move(SettingsImage *image, const std::string &name, const std::string &number,
                   const std::string &direction, std::string *done, std::string *problem);

// The options (NORVEX.INI's among them, and the SSH host key's fingerprint when there is one: empty
// when none) and every port with its rules (and NORVEX.INI's settings of it, where ini is given),
// in list order, one setting a line, each value as it is typed to set it.
std::string settings_show(const SettingsImage *image, const IniSettings *ini = nullptr,
                          const std::string &ssh_fingerprint = "");
