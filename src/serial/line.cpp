// Line signalling: the modem-control lines around a call, and the hand-over of the line between
// the call and the modem emulator. Every wait polls against the wrapping millisecond tick.
#include "serial/line.h"

#include "platform/clock.h"
#include "platform/sync.h"
#include "serial/serial.h"

namespace {

// Input-signal bits of the settings and the modem-status bits they are read from.
struct InputSignal {
    std::int32_t setting;
    std::uint32_t status;
};

constexpr InputSignal INPUT_SIGNALS[] = {
    {SIGNAL_CD, COM_RLSD_ON},
    {SIGNAL_DR, COM_DSR_ON},
    {SIGNAL_CS, COM_CTS_ON},
    {SIGNAL_RI, COM_RING_ON},
};

// True when every signal named in `signals` is on in `status`; the empty set always is.
bool signals_present(std::int32_t signals, std::uint32_t status) {
    for (const InputSignal &signal : INPUT_SIGNALS) {
        if ((signals & signal.setting) && !(status & signal.status)) return false;
    }
    return true;
}

// The server's stop, as line_set_stop_flag named it.
std::atomic<const std::atomic<std::int32_t> *> stop_flag{nullptr};

bool stopping() {
    const std::atomic<std::int32_t> *flag = stop_flag.load();
    return flag != nullptr && flag->load() != 0;
}

// The emulator's half of the connect sequence. 0 when it answered, -1 otherwise; ring_request is
// 0 again on every way out.
int ring_and_wait(PortRecord *port) {
    std::uint32_t start = clock_tick_ms();
    port->ring_request.store(1);
    while (port->ring_request.load() != 0 && port->emulator_stop.load() == 0) {
        clock_sleep_ms(LINE_RING_POLL_MS);
        if (clock_tick_ms() - start >= LINE_RING_GIVE_UP_MS || stopping()) {
            // Taking the flag back tells whether the emulator answered during the last sleep;
            // its answer stands then, since it has already told the equipment CONNECT.
            if (port->ring_request.exchange(0) != 0) return -1;
            break;
        }
    }
    if (port->emulator_stop.load() != 0) {
        // A request left standing would make a restarted emulator ring for a call that is gone.
        port->ring_request.store(0);
        return -1;
    }
    return 0;
}

}  // namespace

void line_set_stop_flag(const std::atomic<std::int32_t> *flag) { stop_flag.store(flag); }

int line_attach(PortRecord *port) {
    if (port->emulator_running.load() != 0) return 0;
    ComHandle handle = serial_open(&port->active_settings);
    if (handle == COM_INVALID_HANDLE) return -1;
    port->com_handle.store(handle);
    return 0;
}

int line_connect(PortRecord *port) {
    const PortSettings &settings = port->active_settings;
    if (port->emulator_running.load() != 0 && ring_and_wait(port) != 0) return -1;

    ComHandle handle = port->com_handle.load();
    if ((settings.raise_signals & SIGNAL_ER) && com_escape(handle, COM_SETDTR) != 0) return -1;
    if ((settings.raise_signals & SIGNAL_RS) && com_escape(handle, COM_SETRTS) != 0) return -1;

    if (settings.confirm_signals == 0) return 0;
    std::uint32_t limit = settings_connect_wait_ms(&settings);
    std::uint32_t start = clock_tick_ms();
    for (;;) {
        std::uint32_t status = 0;
        if (com_modem_status(handle, &status) != 0) return -1;
        if (signals_present(settings.confirm_signals, status)) return 0;
        clock_sleep_ms(LINE_SIGNAL_POLL_MS);
        if (clock_tick_ms() - start >= limit || stopping()) return -1;
    }
}

int line_carrier_ok(PortRecord *port) {
    std::uint32_t status = 0;
    if (com_modem_status(port->com_handle.load(), &status) != 0) return 0;
    return signals_present(port->active_settings.watch_signals, status) ? 1 : 0;
}

int line_disconnect(PortRecord *port) {
    const PortSettings &settings = port->active_settings;
    ComHandle handle = port->com_handle.load();
    int result = 0;
    if ((settings.raise_signals & SIGNAL_ER) && com_escape(handle, COM_CLRDTR) != 0) result = -1;
    if ((settings.raise_signals & SIGNAL_RS) && com_escape(handle, COM_CLRRTS) != 0) result = -1;

    if (port->emulator_running.load() != 0) {
        // The emulator stepped aside when it answered; this lets it report the end of the call.
        if (port->emulator_resume != nullptr) event_set(port->emulator_resume);
        return result;
    }
    if (settings.watch_signals == 0) return result;
    std::uint32_t limit = settings_disconnect_wait_ms(&settings);
    std::uint32_t start = clock_tick_ms();
    for (;;) {
        if (clock_tick_ms() - start >= limit || stopping()) return -1;
        if (line_carrier_ok(port) == 0) return result;
        clock_sleep_ms(LINE_SIGNAL_POLL_MS);
    }
}

int line_detach(PortRecord *port) {
    if (port->emulator_running.load() != 0) return 0;
    serial_close(port->com_handle.exchange(COM_INVALID_HANDLE));
    return 0;
}
