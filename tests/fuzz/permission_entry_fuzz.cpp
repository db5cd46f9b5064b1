// The permission entry as an operator types it into the permission dialog: any text parses into a
// rule or is refused, leaving the rule as it was. An accepted rule is in use with the permit asked
// for, a host-name pattern is terminated within its 64 bytes, and the rule's display text parses
// back into a rule that admits and refuses the same callers.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dialogs/dialog_rules.h"
#include "fuzz/fuzz_support.h"
#include "gateway/port_allocation.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzInput input{data, size};
    bool permit = (input.byte() & 1) != 0;
    std::uint32_t address = 0;
    for (int i = 0; i < 4; ++i) address = address << 8 | input.byte();
    std::size_t host_length = 0;
    const std::uint8_t *host_bytes = input.bytes(64, &host_length);
    std::vector<char> host(64, '\0');
    std::memcpy(host.data(), host_bytes, host_length);
    // What the dialog's edit control gives: a terminated text.
    std::string text(reinterpret_cast<const char *>(input.data), input.size);

    PermissionRule rule;
    std::memset(&rule, 0xA5, sizeof rule);
    PermissionRule before = rule;
    int result = permission_entry_parse(text.c_str(), permit, &rule);
    if (result != 0) {
        if (result != -1 || std::memcmp(&rule, &before, sizeof rule) != 0) std::abort();
        return 0;
    }
    if (rule.in_use != 1 || rule.permit != (permit ? 1 : 0)) std::abort();
    if (rule.is_host_name != 0 && std::memchr(rule.pattern, 0, sizeof rule.pattern) == nullptr) {
        std::abort();
    }

    char shown[RULE_TEXT_SIZE];
    format_rule_text(&rule, shown);
    PermissionRule again;
    std::memset(&again, 0x5A, sizeof again);
    if (permission_entry_parse(shown, permit, &again) != 0) std::abort();
    if (permission_rule_matches(&rule, host.data(), address) !=
        permission_rule_matches(&again, host.data(), address)) {
        std::abort();
    }
    return 0;
}
