// What an SSH login reads as text: authorized_keys lines with their options, and the user name that
// picks a port. Any bytes parse or are refused with a reason; a usable line has a key type and a
// base64 key, and its ports only COM1 to COM32; a user name gives no port or "COMn" for itself.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "settings/settings.h"
#include "ssh/ssh_keys.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzInput input{data, size};
    std::uint8_t which = input.byte();
    std::string text(reinterpret_cast<const char *>(input.data), input.size);

    if ((which & 1) == 0) {
        SshKeyLine key;
        std::string problem;
        int result = ssh_key_line_parse(text.data(), text.size(), &key, &problem);
        if (result < -1 || result > 1) std::abort();
        if (result == -1 && problem.empty()) std::abort();
        if (result == 1) {
            if (key.type.empty() || key.base64.empty()) std::abort();
            if (key.base64.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                             "0123456789+/=") != std::string::npos) {
                std::abort();
            }
        }
        std::vector<SshKeyLine> keys;
        std::vector<std::string> problems;
        ssh_authorized_keys_parse(text, &keys, &problems);
        for (const SshKeyLine &line : keys) {
            if (line.line < 1 || line.type.empty()) std::abort();
        }
        return 0;
    }

    std::string port;
    ssh_user_port(text.data(), text.size(), &port);
    if (port.empty()) return 0;
    std::int32_t number = port_com_number(port.data(), port.size());
    if (number < 1 || number > 99) std::abort();
    if (!text_equal_ignoring_case(port.data(), port.size(), text.data(), text.size())) std::abort();
    return 0;
}
