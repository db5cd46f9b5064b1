// The COM-PORT-OPTION's server on arbitrary subnegotiations, some before the call has its line
// and the rest after, on a line that takes only some values: every answer and notice is a whole
// message of the option within its buffer, only commands that read are answered, and nothing is
// read or written past the bytes given.
//
// Input: [commands before the line, mod 24][line's input lines][then records: length, bytes]
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "telnet/com_port.h"

namespace {

struct FuzzLine {
    ComPortLine now;
    std::uint8_t modem;
};

FuzzLine *fuzz_line(void *line) { return static_cast<FuzzLine *>(line); }

int get(void *line, ComPortLine *now) {
    *now = fuzz_line(line)->now;
    return 0;
}

// Takes 50-230400 bit/s, 5-8 bits, every parity, 1 or 2 stop bits; keeps the rest.
int set(void *line, const ComPortLine *wanted, ComPortLine *now) {
    ComPortLine &kept = fuzz_line(line)->now;
    ComPortLine taken = *wanted;
    if (taken.baud_rate < 50 || taken.baud_rate > 230400) taken.baud_rate = kept.baud_rate;
    if (taken.data_size < 5 || taken.data_size > 8) taken.data_size = kept.data_size;
    if (taken.parity < 1 || taken.parity > 5) taken.parity = kept.parity;
    if (taken.stop_size != 1 && taken.stop_size != 2) taken.stop_size = kept.stop_size;
    kept = taken;
    *now = taken;
    return 0;
}

// The server asks only for the purges the option defines.
int purge(void *, std::uint8_t which) {
    if (which < 1 || which > 3) std::abort();
    return 0;
}

int modem_state(void *line, std::uint8_t *state) {
    *state = static_cast<std::uint8_t>(fuzz_line(line)->modem & 0xF0);
    fuzz_line(line)->modem = static_cast<std::uint8_t>(fuzz_line(line)->modem * 5 + 1);
    return 0;
}

int line_state(void *line, std::uint8_t *errors) {
    *errors = static_cast<std::uint8_t>(fuzz_line(line)->modem & 0x1E);
    return 0;
}

constexpr ComPortLineOps OPS = {get, set, purge, modem_state, line_state};

// Checks that out[0, length) is a run of whole messages of the option from the server.
void check_messages(const std::uint8_t *out, std::int32_t length) {
    std::int32_t at = 0;
    while (at < length) {
        if (length - at < 6 || out[at] != 255 || out[at + 1] != 250 || out[at + 2] != 44 ||
            out[at + 3] < COMPORT_SERVER || out[at + 3] > COMPORT_SERVER + COMPORT_PURGE_DATA) {
            std::abort();
        }
        at += 4;
        for (;;) {
            if (at + 1 >= length) std::abort();
            if (out[at] == 255 && out[at + 1] == 255) {
                at += 2;
            } else if (out[at] == 255 && out[at + 1] == 240) {
                at += 2;
                break;
            } else if (out[at] == 255) {
                std::abort();  // a lone 255 inside a message
            } else {
                at += 1;
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzInput input{data, size};
    std::size_t before_line = input.byte() % 24;
    FuzzLine line{{9600, 8, COMPORT_PARITY_NONE, COMPORT_STOP_1, COMPORT_FLOW_NONE,
                   COMPORT_FLOW_IN_NONE, 0, 1, 1},
                  input.byte()};
    ComPortServer server;
    com_port_server_init(&server, "FUZZ");
    server.agreed.store(1);
    std::size_t served = 0;
    while (input.size > 0) {
        std::size_t length = 0;
        const std::uint8_t *bytes = input.bytes(input.byte(), &length);
        // A buffer of exactly the subnegotiation, so that a read past it is caught.
        std::vector<std::uint8_t> parameters(bytes, bytes + length);
        ComPortRequest request;
        bool parsed = com_port_parse(parameters.data(), static_cast<std::int32_t>(length),
                                     &request) == 0;
        if (parsed && request.command > COMPORT_PURGE_DATA) std::abort();
        std::vector<std::uint8_t> out(COMPORT_MESSAGE_MAX);
        std::int32_t written = com_port_serve(&server, parameters.data(),
                                              static_cast<std::int32_t>(length), out.data(),
                                              COMPORT_MESSAGE_MAX);
        if (written < 0 || written > COMPORT_MESSAGE_MAX || (!parsed && written != 0)) std::abort();
        check_messages(out.data(), written);
        if (written > 0 && out[3] != COMPORT_SERVER + request.command) std::abort();
        if (++served == before_line) {
            std::vector<std::uint8_t> attached((COMPORT_PENDING_MAX + 1) * COMPORT_MESSAGE_MAX);
            std::int32_t length_attached = com_port_attach(
                &server, &OPS, &line, attached.data(), static_cast<std::int32_t>(attached.size()));
            if (length_attached < 0 || length_attached > static_cast<std::int32_t>(attached.size())) {
                std::abort();
            }
            check_messages(attached.data(), length_attached);
            if (server.pending_count != 0) std::abort();
        }
        if (server.ops != nullptr) {
            std::vector<std::uint8_t> notices(2 * COMPORT_MESSAGE_MAX);
            std::int32_t told = com_port_notice(&server, notices.data(),
                                                static_cast<std::int32_t>(notices.size()));
            if (told < 0 || told > static_cast<std::int32_t>(notices.size())) std::abort();
            check_messages(notices.data(), told);
        }
        if (server.pending_count < 0 || server.pending_count > COMPORT_PENDING_MAX) std::abort();
    }
    return 0;
}
