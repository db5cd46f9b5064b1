// What the fuzz targets share: the device that claims every name, the socket pair, virtual time.
#include "fuzz/fuzz_support.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>
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
    .line_errors = nullptr,  // no errors to report
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

namespace {

// The caller's end is read all the time by a thread of its own: a local socket counts every small
// send at its full buffer cost, so a few thousand telnet answers would otherwise fill it and block
// the gateway's send for ever. The thread reads only while holding received_lock, so that
// fuzz_drain, which empties the socket under the same lock, keeps the bytes in order.
std::mutex received_lock;
std::string received;  // under received_lock

// Moves what the socket holds now into `received`; the caller holds received_lock.
void take_waiting(int peer) {
    char buffer[65536];
    for (;;) {
        ssize_t count = recv(peer, buffer, sizeof buffer, MSG_DONTWAIT);
        if (count <= 0) return;
        received.append(buffer, static_cast<std::size_t>(count));
    }
}

void read_peer(int peer) {
    for (;;) {
        pollfd wait{peer, POLLIN, 0};
        if (poll(&wait, 1, 100) < 0 && errno != EINTR) return;
        std::lock_guard<std::mutex> hold(received_lock);
        take_waiting(peer);
    }
}

}  // namespace

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
        std::thread(read_peer, ends[1]).detach();
    }
    *gateway = made[0];
    *peer = made[1];
}

std::string fuzz_drain(NetSocket peer) {
    // A send on a local socket has put its bytes at this end by the time it returns.
    std::lock_guard<std::mutex> hold(received_lock);
    take_waiting(peer);
    std::string taken;
    taken.swap(received);
    return taken;
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
