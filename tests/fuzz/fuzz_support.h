// What the fuzz targets share: a serial device that claims every name (no target can ever reach a
// real port, the machine's console among them) and plays equipment from the fuzzer's bytes, a
// connected loopback socket pair, virtual time, and a reader of the fuzzer's input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/net.h"

// Registers the device (once per process; later calls do nothing). Every name opens it.
void fuzz_device_register();
// Starts over: reads serve `equipment` in pieces of the sizes in `cuts` (cycled; none: as much as
// asked), never more than the reader asks for. When the bytes are used up a read fails
// (fail_when_empty) or returns nothing. Writes are kept.
void fuzz_device_reset(const std::uint8_t *equipment, std::size_t length, const std::uint8_t *cuts,
                       std::size_t cut_count, bool fail_when_empty);
// Everything written to the device since the last reset.
std::string fuzz_device_written();

// A connected stream pair, made once: the gateway's end and the caller's end. A local (Unix)
// socket pair, so that what one end sends is at the other as soon as the send returned (over
// loopback TCP a loaded machine may deliver it a little later).
void fuzz_socket_pair(NetSocket *gateway, NetSocket *peer);
// Takes whatever the peer end has received (so that the gateway's sends never block) and returns
// it.
std::string fuzz_drain(NetSocket peer);

// From now on sleeps take no time: they move the tick on. Once budget_ms have passed so, the
// server's stop is set, which ends every wait and pause of the gateway. fuzz_time_end clears it.
void fuzz_time_begin(std::uint32_t budget_ms);
void fuzz_time_end();

// Takes bytes off the front of the fuzzer's input.
struct FuzzInput {
    const std::uint8_t *data;
    std::size_t size;

    std::uint8_t byte() {
        if (size == 0) return 0;
        --size;
        return *data++;
    }
    // Up to n bytes; *taken tells how many there were.
    const std::uint8_t *bytes(std::size_t n, std::size_t *taken) {
        *taken = n < size ? n : size;
        const std::uint8_t *start = data;
        data += *taken;
        size -= *taken;
        return start;
    }
};
