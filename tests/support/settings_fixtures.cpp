// Builders for settings records used across the tests.
#include "support/settings_fixtures.h"

#include <cstring>

PortSettings make_port(const char *name) {
    PortSettings settings;
    port_settings_defaults(&settings, name);
    return settings;
}

PermissionRule address_rule(int a, int b, int c, int d, int prefix, bool permit) {
    PermissionRule rule{};
    rule.in_use = 1;
    rule.pattern[0] = static_cast<std::uint8_t>(a);
    rule.pattern[1] = static_cast<std::uint8_t>(b);
    rule.pattern[2] = static_cast<std::uint8_t>(c);
    rule.pattern[3] = static_cast<std::uint8_t>(d);
    rule.pattern[4] = static_cast<std::uint8_t>(prefix);
    rule.permit = permit ? 1 : 0;
    return rule;
}

PermissionRule host_rule(const char *suffix, bool permit) {
    PermissionRule rule{};
    rule.in_use = 1;
    rule.is_host_name = 1;
    std::strncpy(reinterpret_cast<char *>(rule.pattern), suffix, sizeof rule.pattern - 1);
    rule.permit = permit ? 1 : 0;
    return rule;
}

static std::vector<std::uint8_t> random_bytes(std::mt19937 &random, std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    for (std::uint8_t &byte : bytes) byte = static_cast<std::uint8_t>(random());
    return bytes;
}

std::vector<std::uint8_t> random_options_bytes(std::mt19937 &random) {
    return random_bytes(random, sizeof(GlobalOptions));
}

std::vector<std::uint8_t> random_port_bytes(std::mt19937 &random, const char *name) {
    std::vector<std::uint8_t> bytes = random_bytes(random, sizeof(PortSettings));
    PortSettings settings;
    std::memcpy(&settings, bytes.data(), sizeof settings);
    std::memset(settings.port_name, 0, sizeof settings.port_name);
    std::strncpy(settings.port_name, name, sizeof settings.port_name - 1);
    settings.modem_emulation = 0;  // a random device name must not be opened by an emulator
    std::memcpy(bytes.data(), &settings, sizeof settings);
    return bytes;
}

std::vector<std::uint8_t> default_file_bytes() {
    std::vector<std::uint8_t> bytes(sizeof(GlobalOptions), 0);
    auto put = [&bytes](std::size_t offset, const char *text) {
        std::memcpy(bytes.data() + offset, text, std::strlen(text));
    };
    put(0, "*** BUSY\r\n");
    put(256, "*** COM PORT ERROR\r\n");
    put(512, "*** CONNECT ERROR\r\n");
    put(768, "*** CONNECT NORVEX\r\n");
    bytes[1536] = 23;  // telnet_port, little-endian
    return bytes;
}
