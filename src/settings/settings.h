// The data every subsystem shares: global options, one serial port's settings with its permission
// rules, the in-memory port record and the port list. GlobalOptions and PortSettings are also the
// records of NORVEX.DAT, so their layout is the file format and is checked below.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "platform/serial.h"

struct Event;
struct Semaphore;
struct Thread;
struct UiWindow;

static_assert(std::endian::native == std::endian::little, "NORVEX.DAT is little-endian");

// Input signals (watch_signals, confirm_signals).
constexpr std::int32_t SIGNAL_CD = 1;  // carrier detect
constexpr std::int32_t SIGNAL_DR = 2;  // data set ready (DSR)
constexpr std::int32_t SIGNAL_CS = 4;  // clear to send (CTS)
constexpr std::int32_t SIGNAL_RI = 8;  // ring indicator
// Output signals (raise_signals).
constexpr std::int32_t SIGNAL_ER = 1;  // data terminal ready (DTR)
constexpr std::int32_t SIGNAL_RS = 2;  // request to send (RTS)
// flow_control bits.
constexpr std::int32_t FLOW_RTS_CTS = 1;
constexpr std::int32_t FLOW_DTR_DSR = 2;
constexpr std::int32_t FLOW_XON_XOFF = 4;

constexpr int PERMISSION_RULE_COUNT = 64;

struct PermissionRule {          // one entry of a port's permission list
    std::int32_t in_use;         // non-zero: the entry holds a rule
    std::uint8_t pattern[64];    // host-name text, or octets + prefix length
    std::int32_t is_host_name;   // non-zero: pattern is text
    std::int32_t permit;         // non-zero: a matching caller may use the port
};
static_assert(sizeof(PermissionRule) == 76);
static_assert(offsetof(PermissionRule, pattern) == 4);
static_assert(offsetof(PermissionRule, is_host_name) == 68);
static_assert(offsetof(PermissionRule, permit) == 72);
static_assert(std::is_trivially_copyable_v<PermissionRule>);

struct GlobalOptions {                 // the head of NORVEX.DAT
    char busy_message[256];            // no free port admits the caller
    char port_error_message[256];      // the allocated port cannot be opened
    char connect_error_message[256];   // connect sequence or auto-pilot failed
    char greeting_message[256];        // first text of every accepted connection
    std::uint8_t reserved_1[256];      // preserved as read
    std::uint8_t reserved_2[256];      // preserved as read
    std::int32_t telnet_port;          // read when the server starts
    std::int32_t resolve_host_names;   // flag: reverse lookup of callers
    std::int32_t access_log_enabled;   // flag
    char access_log_file_name[244];    // passed unchanged to the file open
};
static_assert(sizeof(GlobalOptions) == 1792);
static_assert(offsetof(GlobalOptions, busy_message) == 0);
static_assert(offsetof(GlobalOptions, port_error_message) == 256);
static_assert(offsetof(GlobalOptions, connect_error_message) == 512);
static_assert(offsetof(GlobalOptions, greeting_message) == 768);
static_assert(offsetof(GlobalOptions, reserved_1) == 1024);
static_assert(offsetof(GlobalOptions, reserved_2) == 1280);
static_assert(offsetof(GlobalOptions, telnet_port) == 1536);
static_assert(offsetof(GlobalOptions, resolve_host_names) == 1540);
static_assert(offsetof(GlobalOptions, access_log_enabled) == 1544);
static_assert(offsetof(GlobalOptions, access_log_file_name) == 1548);
static_assert(std::is_trivially_copyable_v<GlobalOptions>);

struct PortSettings {                       // one configured port, as stored in NORVEX.DAT
    char port_name[16];                     // device name, e.g. COM1
    std::int32_t watch_signals;             // inputs that must stay on during a call
    std::int32_t confirm_signals;           // inputs that must be on before a call counts
    std::int32_t raise_signals;             // outputs raised for a call
    std::int32_t baud_rate;                 // bits per second
    std::int32_t flow_control;              // FLOW_* bits
    std::int32_t connect_timeout_ms;        // longest wait for confirm_signals
    std::int32_t disconnect_timeout_ms;     // longest wait for watch_signals to drop
    std::int32_t idle_timeout_s;            // 0: no idle limit
    PermissionRule permission_rules[PERMISSION_RULE_COUNT];
    std::uint8_t data_bits;                 // 7 or 8
    std::uint8_t parity;                    // 0 none, 1 odd, 2 even, 3 mark
    std::uint8_t stop_bits;                 // 0 one, 1 one and a half, 2 two
    std::uint8_t reserved_1;                // preserved as read
    std::int32_t modem_emulation;           // flag: a virtual modem faces the equipment
    std::int32_t drop_on_falling_edge;      // flag: a drop counts only after the signals were on
    char auto_pilot_string[256];            // script played towards the equipment
    char connect_message[256];              // sent to the caller once connected
    char disconnect_message[256];           // sent to the caller on a normal end
    char disconnect_keyword[256];           // seen in serial data, ends the call
    std::uint8_t reserved_2[2500];          // preserved as read
};
static_assert(sizeof(PortSettings) == 8448);
static_assert(offsetof(PortSettings, port_name) == 0);
static_assert(offsetof(PortSettings, watch_signals) == 16);
static_assert(offsetof(PortSettings, confirm_signals) == 20);
static_assert(offsetof(PortSettings, raise_signals) == 24);
static_assert(offsetof(PortSettings, baud_rate) == 28);
static_assert(offsetof(PortSettings, flow_control) == 32);
static_assert(offsetof(PortSettings, connect_timeout_ms) == 36);
static_assert(offsetof(PortSettings, disconnect_timeout_ms) == 40);
static_assert(offsetof(PortSettings, idle_timeout_s) == 44);
static_assert(offsetof(PortSettings, permission_rules) == 48);
static_assert(offsetof(PortSettings, data_bits) == 4912);
static_assert(offsetof(PortSettings, parity) == 4913);
static_assert(offsetof(PortSettings, stop_bits) == 4914);
static_assert(offsetof(PortSettings, reserved_1) == 4915);
static_assert(offsetof(PortSettings, modem_emulation) == 4916);
static_assert(offsetof(PortSettings, drop_on_falling_edge) == 4920);
static_assert(offsetof(PortSettings, auto_pilot_string) == 4924);
static_assert(offsetof(PortSettings, connect_message) == 5180);
static_assert(offsetof(PortSettings, disconnect_message) == 5436);
static_assert(offsetof(PortSettings, disconnect_keyword) == 5692);
static_assert(offsetof(PortSettings, reserved_2) == 5948);
static_assert(std::is_trivially_copyable_v<PortSettings>);

// One configured port in memory. Only `settings` reaches the file. A record is shared-owned: the
// list holds one reference while it is linked, a call holds one from allocation to release, so
// a record removed from the list while busy is freed when its call lets go.
struct PortRecord {
    PortSettings settings;          // UI thread writes (under list_guard); allocation reads
    PortSettings active_settings;   // written at allocation; then only the call reads it
    std::atomic<std::int32_t> emulator_running;  // the emulator holds the port open; written by
                                                 // modem start and stop, and by the emulator
                                                 // thread when it takes new settings (only while
                                                 // no call holds the port); calls read it
    std::atomic<ComHandle> com_handle;  // the open port, COM_INVALID_HANDLE when closed; written by
                                        // whoever opens or closes it (call, emulator start and
                                        // stop, emulator thread), read by every user of the port
    Thread *emulator_thread;        // null when no emulator runs; a running one may hold no port
                                    // (emulator_running 0). Started and stopped by the UI thread,
                                    // or by whoever frees a record removed while busy
    Event *emulator_resume;         // lets an emulator stepped aside for a call go on (auto-reset);
                                    // made by the first emulator start and kept until the record
                                    // is freed (a call may signal it after the emulator stopped);
                                    // signalled by line_disconnect and modem_stop
    std::atomic<std::int32_t> ring_request;   // call sets; emulator clears on answer
    std::atomic<std::int32_t> emulator_stop;  // whoever stops the emulator writes; it reads
    std::int32_t modem_echo;        // emulator thread only
    std::int32_t modem_result_mode; // emulator thread only
    std::int32_t modem_x_level;     // emulator thread only
    std::int32_t modem_backslash_v; // emulator thread only
    std::int32_t modem_baud_rate;   // the speed CONNECT and the status show: settings.baud_rate
                                    // as the emulator last opened the port with; written by the
                                    // emulator start, or by its thread when it takes new settings
    std::atomic<std::int32_t> modem_answer;  // emulator thread
    std::atomic<std::int32_t> modem_online;  // emulator writes; status readers read
    std::atomic<std::int32_t> busy;          // written under list_guard; read by anyone
    std::atomic<std::int32_t> emulator_restarting;  // changes of the emulator under way; raised
                                                    // under list_guard by the port list, lowered
                                                    // by whoever finishes the change (the port
                                                    // list, the emulator thread, a stop);
                                                    // allocation passes the port over while not 0
    std::atomic<std::int32_t> emulator_settings_changed;  // the settings changed while a call held
                                                          // the port: the emulator takes them once
                                                          // the call released it. Written under
                                                          // list_guard (port list sets it, the
                                                          // emulator thread or a stop clears it)
    std::atomic<std::uint32_t> caller_address;  // written at allocation under list_guard
    char caller_host_name[64];      // written at allocation under list_guard; read under it
    char caller_user[32];           // an SSH caller's user name, else empty; as caller_host_name
    std::atomic<std::int32_t> disconnect_request;  // UI sets; allocation clears; relay reads
    PortRecord *next;               // under list_guard
    PortRecord *prev;               // under list_guard
    std::atomic<std::int32_t> references;  // list link + a call's hold
};

// The process's ordered list of configured ports: file order and order of preference.
struct PortList {
    PortRecord *head;            // under list_guard
    std::int32_t port_count;     // under list_guard
    Semaphore *list_guard;       // created by load_settings
    UiWindow *notify_window;     // told when ports change between free and busy
};

extern PortList port_list;

// Length of a text field: up to its first NUL, never past the end of its array (a field read from
// the file may lack the terminator).
template <std::size_t N>
constexpr std::size_t text_length(const char (&field)[N]) {
    std::size_t length = 0;
    while (length < N && field[length] != '\0') ++length;
    return length;
}

// Copies a NUL-terminated text into a field, cut to fit with its terminator; the rest of the field
// is zero-filled.
template <std::size_t N>
void text_set(char (&field)[N], const char *text) {
    std::size_t i = 0;
    for (; i + 1 < N && text[i] != '\0'; ++i) field[i] = text[i];
    for (; i < N; ++i) field[i] = '\0';
}

// Compares two texts of the given lengths without regard to ASCII case, as port names are compared
// ("com1" names COM1). Bytes from 0x80 up compare as they are, so a Shift-JIS name never equals a
// COM name.
bool text_equal_ignoring_case(const char *a, std::size_t a_length, const char *b,
                              std::size_t b_length);

// The number n of a port named COMn ("com3" is 3, any case), n from 1 to 99; 0 for any other name.
std::int32_t port_com_number(const char *name, std::size_t length);

// The process's GlobalOptions. Readers take a consistent copy; the options dialog and loading
// replace it whole. Safe from any thread.
void options_get(GlobalOptions *copy);
void options_set(const GlobalOptions *options);

// A PortSettings as the port settings dialog makes it for a new port named `name`.
void port_settings_defaults(PortSettings *settings, const char *name);

// ---- The time-outs as the gateway keeps them
// Every wait is measured on the wrapping 32-bit millisecond tick (platform/clock.h). A difference
// of ticks tells up to 2^32 - 1 ms, but a wait that is looked at late (the relay looks about once
// a second, a loaded machine later) must still find its limit passed rather than wrapped round to
// a short time: so a time-out is kept up to half the tick's range. A longer one from the file (the
// Windows dialogs store any number typed) is kept as that longest one, never wrapped, and a
// negative one counts as 0. norvexctl refuses both.
constexpr std::uint32_t SETTINGS_LONGEST_WAIT_MS = 0x7FFFFFFF;  // 2147483647 ms, about 24.8 days
constexpr std::int32_t IDLE_TIMEOUT_S_MAX =
    static_cast<std::int32_t>(SETTINGS_LONGEST_WAIT_MS / 1000);  // 2147483 s

// connect_timeout_ms and disconnect_timeout_ms as the line waits them: 0 for a negative value
// (every other int32 is within SETTINGS_LONGEST_WAIT_MS).
std::uint32_t settings_connect_wait_ms(const PortSettings *settings);
std::uint32_t settings_disconnect_wait_ms(const PortSettings *settings);
// idle_timeout_s as the relay's idle limit in milliseconds: 0 (no limit) for 0 or a negative
// value; at most IDLE_TIMEOUT_S_MAX seconds.
std::uint32_t settings_idle_limit_ms(const PortSettings *settings);
