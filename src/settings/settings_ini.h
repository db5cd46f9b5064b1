// The settings that only the newer ways in have, in a text file of their own beside NORVEX.DAT
// (whose layout stays as the Windows program reads it): NORVEX.INI, `key = value` lines, the
// gateway's own at the top and a port's under a `[COMn]` heading; `#` or `;` starts a comment.
// The file is kept line by line, so that a rewrite keeps comments, unknown keys and their order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr const char *INI_FILE_NAME = "NORVEX.INI";

// A port's settings, under a heading of its name: [COM1].
struct IniPort {
    std::string name;        // as the heading spells it
    std::int32_t tcp_port;   // its direct TCP port (that port alone, for any caller); 0: none
    std::int32_t rfc2217;    // non-zero: the telnet COM-PORT-OPTION is served there
    std::int32_t tcp_port_line;  // the line that sets tcp_port, 0: none
};

// The settings as the programs use them. A missing file means every value's default.
struct IniSettings {
    std::int32_t ssh_port;       // the SSH port, 0: no SSH
    std::int32_t ssh_port_line;  // the line that sets it, 0: none
    std::vector<IniPort> ports;  // the headings with a port's key, in file order, one per name
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
// take, given twice, or in the wrong place; with check_tcp_ports, two ports, or a port and the SSH
// port, on one TCP port); the settings are then the defaults. The headings' names are not checked against the
// ports of NORVEX.DAT: a heading may name a port that is not there (yet).
int ini_parse(const std::string &text, IniDocument *document, IniSettings *settings,
              std::string *problem, bool check_tcp_ports = true);

// The settings of the port named `name` (any case); null when the file has none.
const IniPort *ini_port(const IniSettings *settings, const char *name, std::size_t length);

// The ways in on TCP ports (NORVEX.DAT's telnet port, 0: left out; the SSH port; the ports' direct
// TCP ports), one TCP port each: 0, or -1 with *problem naming two that share one ("line N: " and
// the other's line where with_lines, for a file written by hand).
int ini_check_tcp_ports(const IniSettings *settings, std::int32_t telnet_port, bool with_lines,
                        std::string *problem);

// The document as file text, each line ended by LF.
std::string ini_text(const IniDocument *document);

// Sets `key` in `section` ("" for the gateway's own, "COM1" for a port's) to value: the line that
// holds it gets the new value (its comment and spacing kept); a key not there yet goes at the end
// of its section, a section not there yet at the end of the file.
void ini_set(IniDocument *document, const std::string &section, const std::string &key,
             const std::string &value);

// Removes every line that sets `key` in `section` (any case); the heading and the other lines stay.
void ini_remove(IniDocument *document, const std::string &section, const std::string &key);

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
