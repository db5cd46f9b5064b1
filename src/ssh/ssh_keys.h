// What an SSH caller's login says, read without cryptography: the lines of authorized_keys in
// OpenSSH's format (options, key type, the key in base64, a comment), the options a line may
// carry, and the port a user name asks for. The keys themselves are compared in ssh_server.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The file of the keys that may log in, in the gateway's directory.
constexpr const char *SSH_AUTHORIZED_KEYS_FILE = "authorized_keys";

// One usable line of authorized_keys.
struct SshKeyLine {
    std::int32_t line;           // its number in the file, from 1
    std::string type;            // e.g. "ssh-ed25519"
    std::string base64;          // the key blob as written
    std::uint32_t allowed_coms;  // from ports="COM1,COM3": bit n - 1 for COMn; 0: every port
};

// Reads one line (without its line end). 1 with *key filled; 0 for a line that holds no key (blank,
// a comment); -1 with *problem telling why the line cannot be used (an option this gateway does
// not enforce, a malformed option, no key). A line is refused whole rather than used with an
// option ignored: `from=`, `command=` and the like would otherwise be promises not kept.
// Options understood: ports="COMa,COMb,..." (this gateway's: the key may reach only those ports),
// and restrict, no-pty, no-port-forwarding, no-agent-forwarding, no-X11-forwarding, no-user-rc and
// their positive forms, which change nothing here (forwarding is always refused).
int ssh_key_line_parse(const char *text, std::size_t length, SshKeyLine *key, std::string *problem);

// Reads the whole file's text: the usable lines into *keys, and a line "N: why" into *problems for
// each refused one.
void ssh_authorized_keys_parse(const std::string &text, std::vector<SshKeyLine> *keys,
                               std::vector<std::string> *problems);

// The port a user name asks for: "COMn" in any case, n from 1 to 99, gives that port's name
// ("COM3") in *port_name; any other name gives "" (the first free permitted port, as a telnet
// caller gets).
void ssh_user_port(const char *user, std::size_t length, std::string *port_name);
