// What the fuzz targets share: the device that claims every name, the socket pair, virtual time.
#include "fuzz/fuzz_support.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

#include "gateway/server_state.h"
#include "platform/clock.h"
#include "platform/serial_backend.h"

namespace {

// One device for every open: the targets use one port at a time, and the emulator threads a
// settings file may start only read it empty and write to it.
std::mutex device_lock;
std::vector<std::uint8_t> equipment;  // under device_lock
std::size_t equipment_at = 0;         // under device_lock
std::vector<std::uint8_t> cut_sizes;  // under device_lock
std::size_t cut_at = 0;               // under device_lock
bool fail_when_empty = false;         // under device_lock
std::string written;                  // under device_lock

// Each open gets its own block, so that a device's settings are its own.
struct FuzzOpen {
    SerialDcb dcb;
    SerialTimeouts timeouts;
};

FuzzOpen *as_open(void *device) { return static_cast<FuzzOpen *>(device); }

int claims_all(const char *) { return 1; }

void *open_device(const char *) {
    FuzzOpen *open = new (std::nothrow) FuzzOpen{};
    if (open == nullptr) return nullptr;
    open->dcb.dcb_length = COM_DCB_LENGTH;
    open->dcb.baud_rate = 9600;
    open->dcb.byte_size = 8;
    return open;
}

int get_state(void *device, SerialDcb *dcb) {
    *dcb = as_open(device)->dcb;
    return 0;
}

int set_state(void *device, const SerialDcb *dcb) {
    as_open(device)->dcb = *dcb;
    return 0;
}

int get_timeouts(void *device, SerialTimeouts *timeouts) {
    *timeouts = as_open(device)->timeouts;
    return 0;
}

int set_timeouts(void *device, const SerialTimeouts *timeouts) {
    as_open(device)->timeouts = *timeouts;
    return 0;
}

int read_device(void *, void *buffer, std::uint32_t maximum, std::uint32_t *count) {
    std::lock_guard<std::mutex> hold(device_lock);
    *count = 0;
    std::size_t left = equipment.size() - equipment_at;
    if (left == 0) return fail_when_empty ? -1 : 0;
    std::size_t piece = left;
    if (!cut_sizes.empty()) {
        piece = cut_sizes[cut_at++ % cut_sizes.size()];
        if (piece == 0) return 0;  // a read that finds nothing yet
        if (piece > left) piece = left;
    }
    if (piece > maximum) piece = maximum;
    std::copy(equipment.begin() + static_cast<std::ptrdiff_t>(equipment_at),
              equipment.begin() + static_cast<std::ptrdiff_t>(equipment_at + piece),
              static_cast<std::uint8_t *>(buffer));
    equipment_at += piece;
    *count = static_cast<std::uint32_t>(piece);
    return 0;
}

int write_device(void *, const void *data, std::uint32_t length, std::uint32_t *count) {
    std::lock_guard<std::mutex> hold(device_lock);
    written.append(static_cast<const char *>(data), length);
    *count = length;
    return 0;
}

int escape(void *, std::uint32_t) { return 0; }

int modem_status(void *, std::uint32_t *status) {
    *status = 0;
    return 0;
}

int set_break(void *, int) { return 0; }
int purge(void *, std::uint32_t) { return 0; }
void cancel(void *, std::uint32_t, int) {}
void close_device(void *device) { delete as_open(device); }

const ComBackend fuzz_backend = {
    .claims = claims_all,
    .open = open_device,
    .get_state = get_state,
    .set_state = set_state,
    .get_timeouts = get_timeouts,
    .set_timeouts = set_timeouts,
    .read = read_device,
    .write = write_device,
    .escape = escape,
    .modem_status = modem_status,
    .set_break = set_break,
    .purge = purge,
    .cancel = cancel,
    .close = close_device,
    .wait = nullptr,  // only the auto-pilot runs here, and it reads
};

std::uint32_t time_budget_ms = 0;
std::uint32_t time_passed_ms = 0;
std::uint32_t bias_ms = 0;

void virtual_sleep(std::uint32_t ms) {
    bias_ms += ms;
    clock_set_tick_bias(bias_ms);
    time_passed_ms = ms > time_budget_ms - time_passed_ms ? time_budget_ms : time_passed_ms + ms;
    if (time_passed_ms >= time_budget_ms) server_stop.store(1);
}

}  // namespace

void fuzz_device_register() {
    if (com_register_backend(&fuzz_backend) != 0) std::abort();
}

void fuzz_device_reset(const std::uint8_t *bytes, std::size_t length, const std::uint8_t *cuts,
                       std::size_t cut_count, bool fail) {
    std::lock_guard<std::mutex> hold(device_lock);
    equipment.assign(bytes, bytes + length);
    equipment_at = 0;
    cut_sizes.assign(cuts, cuts + cut_count);
    cut_at = 0;
    fail_when_empty = fail;
    written.clear();
}

std::string fuzz_device_written() {
    std::lock_guard<std::mutex> hold(device_lock);
    return written;
}

void fuzz_socket_pair(NetSocket *gateway, NetSocket *peer) {
    static NetSocket made[2] = {NET_NO_SOCKET, NET_NO_SOCKET};
    if (made[0] == NET_NO_SOCKET) {
        int ends[2];
        if (net_start() != 0 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
            std::fprintf(stderr, "fuzz: no socket pair\n");
            std::abort();
        }
        made[0] = ends[0];
        made[1] = ends[1];
    }
    *gateway = made[0];
    *peer = made[1];
}

std::string fuzz_drain(NetSocket peer) {
    std::string taken;
    for (;;) {
        std::int32_t ready = 0;
        if (net_wait(peer, NET_READABLE, 0, &ready) != 0 || ready == 0) return taken;
        std::uint8_t buffer[65536];
        std::int32_t received = 0;
        if (net_receive(peer, buffer, sizeof buffer, &received) != 0 || received == 0) {
            return taken;
        }
        taken.append(reinterpret_cast<char *>(buffer), static_cast<std::size_t>(received));
    }
}

void fuzz_time_begin(std::uint32_t budget_ms) {
    time_budget_ms = budget_ms;
    time_passed_ms = 0;
    server_stop.store(0);
    clock_set_sleep_hook(virtual_sleep);
}

void fuzz_time_end() {
    clock_set_sleep_hook(nullptr);
    server_stop.store(0);
}
