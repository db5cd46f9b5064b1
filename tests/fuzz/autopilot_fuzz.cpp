// The auto-pilot on any script (the first byte says how long it is, up to a port's 256 bytes,
// without a terminating NUL where it fills them) against equipment that sends the rest of the
// bytes in pieces the input chooses. Time is virtual: pauses and limits pass at once, and a
// script that would wait longer than ten minutes meets a server stop.
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "gateway/autopilot.h"
#include "gateway/caller_telnet.h"
#include "serial/serial.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static PortRecord *port = [] {
        fuzz_device_register();
        PortRecord *record = new PortRecord{};
        port_settings_defaults(&record->active_settings, "COM1");
        record->com_handle.store(serial_open(&record->active_settings));
        if (record->com_handle.load() == COM_INVALID_HANDLE) std::abort();
        return record;
    }();
    FuzzInput input{data, size};
    std::size_t script_length = 0;
    const std::uint8_t *script_bytes = input.bytes(1 + input.byte(), &script_length);
    std::size_t cut_count = 0;
    const std::uint8_t *cuts = input.bytes(input.byte() % 8, &cut_count);
    fuzz_device_reset(input.data, input.size, cuts, cut_count, true);

    NetSocket gateway = NET_NO_SOCKET, peer = NET_NO_SOCKET;
    fuzz_socket_pair(&gateway, &peer);
    TelnetChannel channel;
    telnet_channel_init(&channel, gateway, nullptr, 9600, 9600);
    Caller caller;
    caller_telnet_init(&caller, &channel, 0x7F000001u, nullptr);
    // Exactly the script's bytes: reading past them is caught.
    std::vector<char> script(script_bytes, script_bytes + script_length);

    fuzz_time_begin(10 * 60 * 1000);
    int result = autopilot_run(&caller, port, script.data(), script.size());
    fuzz_time_end();
    if (result != 0 && result != -1) std::abort();
    // Escapes only ever shorten the text; brackets are never sent.
    if (fuzz_device_written().size() > script.size()) std::abort();
    return 0;
}
