// NORVEX.INI as anybody may have written it: any text parses or is refused with its line; what
// parses keeps its values when written out again, and an edit of one key changes that key alone
// (or is refused when it would share a TCP port with another way in).
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_support.h"
#include "settings/settings_ini.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzInput input{data, size};
    std::uint16_t port = static_cast<std::uint16_t>(input.byte() << 8 | input.byte());
    std::string text(reinterpret_cast<const char *>(input.data), input.size);

    IniDocument document;
    IniSettings settings;
    std::string problem;
    if (ini_parse(text, &document, &settings, &problem) != 0) {
        if (problem.rfind("line ", 0) != 0 || settings.ssh_port != 0) std::abort();
        return 0;
    }
    if (settings.ssh_port < 0 || settings.ssh_port > 65535) std::abort();

    IniDocument again;
    IniSettings reread;
    if (ini_parse(ini_text(&document), &again, &reread, &problem) != 0) std::abort();
    if (reread.ssh_port != settings.ssh_port || again.lines != document.lines) std::abort();

    ini_set(&document, "", "ssh_port", std::to_string(port));
    // A port's tcp_port already on that number makes the edit a clash, refused at its line.
    bool clash = false;
    for (const IniPort &other : settings.ports) clash = clash || (port != 0 && other.tcp_port == port);
    if (ini_parse(ini_text(&document), &again, &reread, &problem) != 0) {
        if (!clash || problem.rfind("line ", 0) != 0) std::abort();
        return 0;
    }
    if (clash || reread.ssh_port != port) std::abort();
    return 0;
}
