// authorized_keys lines and user names, read as text.
#include "ssh/ssh_keys.h"

#include "settings/settings.h"

namespace {

// Options that change nothing here: what they forbid is never offered, and what they allow is
// refused anyway (forwarding, a user rc file) or needs nothing (a pty).
constexpr const char *HARMLESS_OPTIONS[] = {
    "restrict",      "no-pty",         "no-port-forwarding", "no-agent-forwarding",
    "no-X11-forwarding", "no-user-rc", "pty",                "port-forwarding",
    "agent-forwarding",  "X11-forwarding", "user-rc",
};

bool is_space(char c) { return c == ' ' || c == '\t'; }

bool is_option_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

bool is_base64_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/' || c == '=';
}

// A key type as OpenSSH names them: "ssh-ed25519", "ecdsa-sha2-nistp256",
// "sk-ssh-ed25519@openssh.com" and the like.
bool looks_like_key_type(const std::string &word) {
    static constexpr const char *PREFIXES[] = {"ssh-", "ecdsa-sha2-", "sk-ssh-", "sk-ecdsa-"};
    for (const char *prefix : PREFIXES) {
        if (word.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

// The word at `at` (up to a blank outside double quotes), moving `at` past it.
std::string next_word(const char *text, std::size_t length, std::size_t *at) {
    std::size_t begin = *at;
    bool quoted = false;
    while (*at < length && (quoted || !is_space(text[*at]))) {
        if (text[*at] == '\\' && quoted && *at + 1 < length) {
            *at += 2;
            continue;
        }
        if (text[*at] == '"') quoted = !quoted;
        *at += 1;
    }
    return std::string(text + begin, *at - begin);
}

void skip_spaces(const char *text, std::size_t length, std::size_t *at) {
    while (*at < length && is_space(text[*at])) *at += 1;
}

// ports="COM1,COM3" into a mask.
int read_ports(const std::string &value, std::uint32_t *mask, std::string *problem) {
    *mask = 0;
    std::size_t begin = 0;
    for (;;) {
        std::size_t end = value.find(',', begin);
        std::string item = value.substr(begin, end == std::string::npos ? end : end - begin);
        std::int32_t number = port_com_number(item.data(), item.size());
        if (number < 1 || number > 32) {
            *problem = "ports=\"" + value + "\": each port is COM1 to COM32";
            return -1;
        }
        *mask |= 1u << (number - 1);
        if (end == std::string::npos) return 0;
        begin = end + 1;
    }
}

// The options field of a line: comma-separated names, some with ="value".
int read_options(const std::string &field, SshKeyLine *key, std::string *problem) {
    std::size_t at = 0;
    while (at < field.size()) {
        std::size_t begin = at;
        while (at < field.size() && is_option_name_char(field[at])) ++at;
        std::string name = field.substr(begin, at - begin);
        if (name.empty()) {
            *problem = "options: a name expected at \"" + field.substr(begin, 20) + "\"";
            return -1;
        }
        bool has_value = at < field.size() && field[at] == '=';
        std::string value;
        if (has_value) {
            if (at + 1 >= field.size() || field[at + 1] != '"') {
                *problem = "option " + name + ": its value goes in double quotes";
                return -1;
            }
            at += 2;
            bool closed = false;
            while (at < field.size()) {
                char c = field[at++];
                if (c == '\\' && at < field.size() && field[at] == '"') {
                    value += '"';
                    ++at;
                } else if (c == '"') {
                    closed = true;
                    break;
                } else {
                    value += c;
                }
            }
            if (!closed) {
                *problem = "option " + name + ": its value has no closing quote";
                return -1;
            }
        }
        if (at < field.size()) {
            if (field[at] != ',') {
                *problem = "options: a comma expected after " + name;
                return -1;
            }
            ++at;
            if (at == field.size()) {
                *problem = "options: nothing after the last comma";
                return -1;
            }
        }

        if (name == "ports" && has_value) {
            if (read_ports(value, &key->allowed_coms, problem) != 0) return -1;
            continue;
        }
        bool harmless = false;
        for (const char *known : HARMLESS_OPTIONS) harmless = harmless || (name == known && !has_value);
        if (!harmless) {
            *problem = "option " + name + " is not supported by this gateway (the line is not used)";
            return -1;
        }
    }
    return 0;
}

}  // namespace

int ssh_key_line_parse(const char *text, std::size_t length, SshKeyLine *key, std::string *problem) {
    *key = SshKeyLine{};
    problem->clear();
    if (length > 0 && text[length - 1] == '\r') --length;
    std::size_t at = 0;
    skip_spaces(text, length, &at);
    if (at == length || text[at] == '#') return 0;

    std::string first = next_word(text, length, &at);
    if (!looks_like_key_type(first)) {
        if (read_options(first, key, problem) != 0) return -1;
        skip_spaces(text, length, &at);
        first = next_word(text, length, &at);
        if (!looks_like_key_type(first)) {
            *problem = first.empty() ? "no key type after the options"
                                     : "\"" + first.substr(0, 40) + "\" is no key type";
            return -1;
        }
    }
    key->type = first;
    skip_spaces(text, length, &at);
    key->base64 = next_word(text, length, &at);
    if (key->base64.empty()) {
        *problem = "no key after the type " + key->type;
        return -1;
    }
    for (char c : key->base64) {
        if (!is_base64_char(c)) {
            *problem = "the key of type " + key->type + " is not base64";
            return -1;
        }
    }
    return 1;
}

void ssh_authorized_keys_parse(const std::string &text, std::vector<SshKeyLine> *keys,
                               std::vector<std::string> *problems) {
    keys->clear();
    problems->clear();
    std::size_t begin = 0;
    for (std::int32_t number = 1; begin < text.size(); ++number) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        SshKeyLine key;
        std::string problem;
        int read = ssh_key_line_parse(text.data() + begin, end - begin, &key, &problem);
        if (read > 0) {
            key.line = number;
            keys->push_back(key);
        } else if (read < 0) {
            problems->push_back(std::to_string(number) + ": " + problem);
        }
        begin = end + 1;
    }
}

void ssh_user_port(const char *user, std::size_t length, std::string *port_name) {
    port_name->clear();
    std::int32_t number = port_com_number(user, length);
    if (number != 0) *port_name = "COM" + std::to_string(number);
}
