// The process-wide options and port list, the defaults of a new port, and its time-outs as kept.
#include "settings/settings.h"

#include <cstring>
#include <mutex>

PortList port_list{};

// Workers copy options while the options dialog may replace them: one lock makes every copy whole.
static std::mutex options_lock;
static GlobalOptions options{};

bool text_equal_ignoring_case(const char *a, std::size_t a_length, const char *b,
                              std::size_t b_length) {
    auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    if (a_length != b_length) return false;
    for (std::size_t i = 0; i < a_length; ++i) {
        if (upper(a[i]) != upper(b[i])) return false;
    }
    return true;
}

std::int32_t port_com_number(const char *name, std::size_t length) {
    if (length < 4 || length > 5) return 0;
    if ((name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm') return 0;
    if (name[3] < '1' || name[3] > '9') return 0;
    std::int32_t number = name[3] - '0';
    if (length == 5) {
        if (name[4] < '0' || name[4] > '9') return 0;
        number = number * 10 + (name[4] - '0');
    }
    return number;
}

void options_get(GlobalOptions *copy) {
    std::lock_guard<std::mutex> hold(options_lock);
    std::memcpy(copy, &options, sizeof options);
}

void options_set(const GlobalOptions *replacement) {
    std::lock_guard<std::mutex> hold(options_lock);
    std::memcpy(&options, replacement, sizeof options);
}

void port_settings_defaults(PortSettings *settings, const char *name) {
    std::memset(settings, 0, sizeof *settings);
    text_set(settings->port_name, name);
    settings->raise_signals = SIGNAL_ER;
    settings->baud_rate = 9600;
    settings->flow_control = FLOW_RTS_CTS;
    settings->connect_timeout_ms = 5000;
    settings->disconnect_timeout_ms = 5000;
    settings->data_bits = 8;
}

static std::uint32_t wait_ms_of(std::int32_t setting) {
    return setting < 0 ? 0 : static_cast<std::uint32_t>(setting);
}

std::uint32_t settings_connect_wait_ms(const PortSettings *settings) {
    return wait_ms_of(settings->connect_timeout_ms);
}

std::uint32_t settings_disconnect_wait_ms(const PortSettings *settings) {
    return wait_ms_of(settings->disconnect_timeout_ms);
}

std::uint32_t settings_idle_limit_ms(const PortSettings *settings) {
    std::int32_t seconds = settings->idle_timeout_s;
    if (seconds <= 0) return 0;
    if (seconds > IDLE_TIMEOUT_S_MAX) seconds = IDLE_TIMEOUT_S_MAX;
    return static_cast<std::uint32_t>(seconds) * 1000u;
}
