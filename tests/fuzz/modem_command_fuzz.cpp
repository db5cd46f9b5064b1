// The modem emulator's command line on any bytes from the equipment, cut anywhere: the echo and
// results it writes and the settings it ends in do not depend on the cuts, and the line it keeps
// never outgrows its 64 bytes.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "modem/modem.h"
#include "serial/serial.h"

namespace {

struct Outcome {
    std::string written;
    std::int32_t echo, result_mode, x_level, backslash_v, answer;
    ModemLine line;
};

Outcome run(PortRecord *port, const std::uint8_t *bytes, std::size_t size,
            const std::uint8_t *cuts, std::size_t cut_count) {
    fuzz_device_reset(nullptr, 0, nullptr, 0, false);
    // The emulator's defaults, as ATZ sets them.
    port->modem_echo = 1;
    port->modem_result_mode = 3;
    port->modem_x_level = 1;
    port->modem_backslash_v = 1;
    port->modem_answer.store(0);
    port->modem_baud_rate = 9600;
    Outcome outcome{};
    std::size_t at = 0;
    std::size_t cut = 0;
    while (at < size) {
        std::size_t piece = cut_count == 0 ? size - at : 1 + cuts[cut++ % cut_count] % 32;
        if (piece > size - at) piece = size - at;
        modem_receive(port, &outcome.line, bytes + at, static_cast<std::uint32_t>(piece));
        if (outcome.line.length < 0 || outcome.line.length > MODEM_LINE_SIZE) std::abort();
        at += piece;
    }
    outcome.written = fuzz_device_written();
    outcome.echo = port->modem_echo;
    outcome.result_mode = port->modem_result_mode;
    outcome.x_level = port->modem_x_level;
    outcome.backslash_v = port->modem_backslash_v;
    outcome.answer = port->modem_answer.load();
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static PortRecord *port = [] {
        fuzz_device_register();
        PortRecord *record = new PortRecord{};
        port_settings_defaults(&record->settings, "COM1");
        record->com_handle.store(serial_open(&record->settings));
        if (record->com_handle.load() == COM_INVALID_HANDLE) std::abort();
        return record;
    }();
    FuzzInput input{data, size};
    std::size_t cut_count = 0;
    const std::uint8_t *cuts = input.bytes(input.byte() % 16, &cut_count);
    Outcome whole = run(port, input.data, input.size, nullptr, 0);
    Outcome pieces = run(port, input.data, input.size, cuts, cut_count);
    if (whole.written != pieces.written || whole.echo != pieces.echo ||
        whole.result_mode != pieces.result_mode || whole.x_level != pieces.x_level ||
        whole.backslash_v != pieces.backslash_v || whole.answer != pieces.answer ||
        whole.line.length != pieces.line.length ||
        std::memcmp(whole.line.text, pieces.line.text, sizeof whole.line.text) != 0) {
        std::abort();
    }
    return 0;
}
