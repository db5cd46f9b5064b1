// Port allocation and permission matching.
#include "gateway/port_allocation.h"

#include <cstring>

#include "platform/clock.h"
#include "platform/ui.h"
#include "settings/port_list.h"

// Bounded text length: neither a rule's pattern nor a caller's name is trusted to be terminated.
static std::size_t bounded_length(const char *text, std::size_t limit) {
    std::size_t length = 0;
    while (length < limit && text[length] != '\0') ++length;
    return length;
}

// The mask of an address rule before the exact-address and everyone cases.
static std::uint32_t rule_mask(std::uint32_t address, std::uint8_t prefix_length) {
    if (prefix_length != 0) {
        // Lengths above 32 wrap the shift modulo 32: 33 keeps the top bit, 64 keeps all.
        return 0xFFFFFFFFu << ((32u - prefix_length) & 31u);
    }
    std::uint32_t first_octet = address >> 24;
    if (first_octet < 128) return 0xFF000000u;
    if (first_octet < 192) return 0xFFFF0000u;
    if (first_octet < 224) return 0xFFFFFF00u;
    return 0xFFFFFFFFu;
}

bool permission_rule_matches(const PermissionRule *rule, const char *host_name,
                             std::uint32_t address) {
    if (rule->in_use == 0) return false;
    if (rule->is_host_name != 0) {
        // A suffix match without label boundary, case-sensitive.
        const char *pattern = reinterpret_cast<const char *>(rule->pattern);
        std::size_t p = bounded_length(pattern, sizeof rule->pattern);
        std::size_t h = bounded_length(host_name, 64);
        return h >= p && std::memcmp(host_name + (h - p), pattern, p) == 0;
    }
    std::uint32_t rule_address = (std::uint32_t{rule->pattern[0]} << 24) |
                                 (std::uint32_t{rule->pattern[1]} << 16) |
                                 (std::uint32_t{rule->pattern[2]} << 8) | rule->pattern[3];
    std::uint32_t mask = rule_mask(rule_address, rule->pattern[4]);
    if ((rule_address & ~mask) != 0) mask = 0xFFFFFFFFu;  // names exactly one address
    if (rule_address == 0) mask = 0;                      // "ALL"
    return (address & mask) == (rule_address & mask);
}

// Whether the port's rules admit the caller: the first matching in-use rule decides; with no
// match, a port with rules refuses and a port without rules admits.
static bool port_admits(const PortRecord *port, const char *host_name, std::uint32_t address) {
    bool has_rules = false;
    for (const PermissionRule &rule : port->settings.permission_rules) {
        if (rule.in_use == 0) continue;
        has_rules = true;
        if (permission_rule_matches(&rule, host_name, address)) return rule.permit != 0;
    }
    return !has_rules;
}

// Tells the main window that ports changed between free and busy. Posting never waits for the
// window; a refused post is tried again every 10 ms.
static void post_status_notice() {
    while (ui_post_command(port_list.notify_window, CMD_REFRESH_STATUS, 0) != 0) {
        clock_sleep_ms(10);
    }
}

// Whether the route lets the caller have the port at all.
static bool route_takes(const PortRoute *route, const PortRecord *port) {
    if (route == nullptr) return true;
    const char *name = port->settings.port_name;
    std::size_t length = text_length(port->settings.port_name);
    std::size_t wanted = bounded_length(route->only_name, sizeof route->only_name);
    if (wanted != 0 && !text_equal_ignoring_case(route->only_name, wanted, name, length)) {
        return false;
    }
    if (route->allowed_coms == 0) return true;
    std::int32_t number = port_com_number(name, length);
    return number >= 1 && number <= 32 && (route->allowed_coms & (1u << (number - 1))) != 0;
}

PortRecord *port_allocate(const char *host_name, std::uint32_t address) {
    return port_allocate_routed(nullptr, host_name, address, nullptr);
}

PortRecord *port_allocate_routed(const PortRoute *route, const char *host_name,
                                 std::uint32_t address, const char *user) {
    list_lock();
    PortRecord *port = port_list.head;
    for (std::int32_t i = 0; port != nullptr && i < port_list.port_count; ++i, port = port->next) {
        if (port->busy.load() != 0 || port->emulator_restarting.load() != 0) continue;
        if (!route_takes(route, port)) continue;
        if (!port_admits(port, host_name, address)) continue;

        port->busy.store(1);
        port->disconnect_request.store(0);
        port->caller_address.store(address);
        std::memcpy(port->caller_host_name, host_name, sizeof port->caller_host_name);
        port->caller_host_name[sizeof port->caller_host_name - 1] = '\0';
        std::size_t user_length = user == nullptr ? 0 : bounded_length(user, sizeof port->caller_user - 1);
        std::memset(port->caller_user, 0, sizeof port->caller_user);
        if (user_length > 0) std::memcpy(port->caller_user, user, user_length);
        std::memcpy(&port->active_settings, &port->settings, sizeof port->active_settings);
        port->references.fetch_add(1);
        list_unlock();
        post_status_notice();
        return port;
    }
    list_unlock();
    return nullptr;
}

void port_release(PortRecord *port) {
    list_lock();
    port->busy.store(0);
    list_unlock();
    post_status_notice();
    port_record_unreference(port);
}
