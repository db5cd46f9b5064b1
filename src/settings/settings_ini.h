// The settings that only the newer ways in have, in a text file of their own beside NORVEX.DAT
// (whose layout stays as the Windows program reads it): NORVEX.INI, `key = value` lines, the
// gateway's own at the top and a port's under a `[COMn]` heading; `#` or `;` starts a comment.
// The file is kept line by line, so that a rewrite keeps comments, unknown keys and their order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr const char *INI_FILE_NAME = "NORVEX.INI";

// The settings as the programs use them. A missing file means every value's default.
struct IniSettings {
    std::int32_t ssh_port;  // the SSH port, 0: no SSH
};

// The file's lines (without their LF; a CR before it stays, so that a rewrite keeps it), as read
// or as they are to be written.
struct IniDocument {
    std::vector<std::string> lines;
};

// The defaults: what a missing file means.
void ini_settings_defaults(IniSettings *settings);

// Reads the file's text into *document and *settings. 0, or -1 with *problem saying "line N:
// what is wrong" (a line that is no heading, key or comment; a known key with a value it cannot
// take, or given twice); the settings are then the defaults.
int ini_parse(const std::string &text, IniDocument *document, IniSettings *settings,
              std::string *problem);

// The document as file text, each line ended by LF.
std::string ini_text(const IniDocument *document);

// Sets `key` in `section` ("" for the gateway's own, "COM1" for a port's) to value: the line that
// holds it gets the new value (its comment and spacing kept); a key not there yet goes at the end
// of its section, a section not there yet at the end of the file.
void ini_set(IniDocument *document, const std::string &section, const std::string &key,
             const std::string &value);

// The value of `key` in `section` as the file holds it; false when the file does not hold it.
bool ini_get(const IniDocument *document, const std::string &section, const std::string &key,
             std::string *value);

// Reads NORVEX.INI from the current directory. 0 (a missing file: the defaults and an empty
// document), or -1 with *problem ("NORVEX.INI line N: ...", or that it cannot be read). Any thread.
int ini_read(IniDocument *document, IniSettings *settings, std::string *problem);

// Writes the document as NORVEX.INI, under a name of this write alone beside the old file, then
// renamed over it (the old file's mode kept). -1 on failure (the old file whole). The holder of
// NORVEX.DAT's settings lock, which covers NORVEX.INI too.
int ini_write(const IniDocument *document);

// The process's settings from NORVEX.INI as last read (the defaults before). Any thread.
void ini_settings_get(IniSettings *copy);
void ini_settings_set(const IniSettings *settings);
