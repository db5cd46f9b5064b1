// The permission match on any rule (all 76 bytes of it, as a settings file may hold them), any
// caller host name (64 bytes, not necessarily terminated) and any address, against the rules as
// the permission list describes them.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "gateway/port_allocation.h"

namespace {

std::size_t bounded_length(const std::uint8_t *text, std::size_t limit) {
    std::size_t length = 0;
    while (length < limit && text[length] != 0) ++length;
    return length;
}

// The rule as described: a host-name suffix, or an address with a mask from the prefix length
// (lengths above 32 shift modulo 32) or from the class of the first octet, an exact address when
// the pattern has bits outside the mask, everybody for 0.0.0.0.
bool described(const PermissionRule &rule, const std::uint8_t *host, std::uint32_t address) {
    if (rule.in_use == 0) return false;
    if (rule.is_host_name != 0) {
        std::size_t p = bounded_length(rule.pattern, sizeof rule.pattern);
        std::size_t h = bounded_length(host, 64);
        return h >= p && std::memcmp(host + h - p, rule.pattern, p) == 0;
    }
    std::uint32_t n = static_cast<std::uint32_t>(rule.pattern[0]) << 24 |
                      static_cast<std::uint32_t>(rule.pattern[1]) << 16 |
                      static_cast<std::uint32_t>(rule.pattern[2]) << 8 | rule.pattern[3];
    unsigned prefix = rule.pattern[4];
    std::uint32_t mask;
    if (prefix >= 1 && prefix <= 32) {
        mask = static_cast<std::uint32_t>(0xFFFFFFFF00000000ull >> prefix);
    } else if (prefix > 32) {
        mask = 0xFFFFFFFFu << ((32u - prefix) % 32u);
    } else {
        unsigned a = rule.pattern[0];
        mask = a < 128 ? 0xFF000000u : a < 192 ? 0xFFFF0000u : a < 224 ? 0xFFFFFF00u : 0xFFFFFFFFu;
    }
    if ((n & ~mask) != 0) mask = 0xFFFFFFFFu;
    if (n == 0) mask = 0;
    return (address & mask) == (n & mask);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < sizeof(PermissionRule) + 64 + 4) return 0;
    PermissionRule rule;
    std::memcpy(&rule, data, sizeof rule);
    // The host name in a block of exactly 64 bytes: a read past it is caught.
    std::vector<std::uint8_t> host(data + sizeof rule, data + sizeof rule + 64);
    const std::uint8_t *a = data + sizeof rule + 64;
    std::uint32_t address = static_cast<std::uint32_t>(a[0]) << 24 |
                            static_cast<std::uint32_t>(a[1]) << 16 |
                            static_cast<std::uint32_t>(a[2]) << 8 | a[3];
    bool matches =
        permission_rule_matches(&rule, reinterpret_cast<const char *>(host.data()), address);
    if (matches != described(rule, host.data(), address)) std::abort();
    return 0;
}
