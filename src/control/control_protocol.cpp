// The control channel's line grammar, shared by both ends.
#include "control/control_protocol.h"

void control_line_split(const std::string &line, std::string *first, std::string *rest) {
    std::size_t space = line.find(' ');
    *first = line.substr(0, space);
    *rest = space == std::string::npos ? "" : line.substr(space + 1);
}

bool control_reply_ends(const std::string &line) {
    return line == "ok" || line.rfind("error ", 0) == 0;
}
