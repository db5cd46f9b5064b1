// A simulated serial device for tests: the gateway opens it by name (SIM...) through the same
// platform serial calls as a real port, and the test plays the equipment at the other end: bytes
// both ways, the equipment's input lines (CD, DSR, CTS, RI) and the gateway's output lines (DTR,
// RTS) as the equipment sees them, breaks with their timing, flow control that holds the gateway's
// writes back (RTS/CTS, DTR/DSR, XON/XOFF), scripted replies or a handler run on the equipment's
// own thread, and failure of the Nth device call. Every function is safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/serial.h"

struct SimSerial;  // one simulated device; belongs to the test until sim_serial_destroy

// The gateway's output lines as the equipment sees them.
constexpr std::uint32_t SIM_DTR = 1;
constexpr std::uint32_t SIM_RTS = 2;

// Device calls that can be counted and made to fail.
enum SimCall {
    SIM_CALL_OPEN,
    SIM_CALL_GET_STATE,
    SIM_CALL_SET_STATE,
    SIM_CALL_GET_TIMEOUTS,
    SIM_CALL_SET_TIMEOUTS,
    SIM_CALL_READ,
    SIM_CALL_WRITE,
    SIM_CALL_ESCAPE,        // raising or dropping DTR or RTS
    SIM_CALL_MODEM_STATUS,
    SIM_CALL_BREAK,         // break on or off
    SIM_CALL_PURGE,
    SIM_CALL_WAIT,          // a wait for input, line changes or a wake-up (com_wait)
    SIM_CALL_LINE_ERRORS,   // a look at the line errors (com_line_errors)
    SIM_CALL_KINDS
};

// What the equipment's handler is told about.
enum SimEventKind {
    SIM_EVENT_RECEIVED,  // the gateway wrote `data`
    SIM_EVENT_OUTPUTS,   // the gateway's DTR/RTS changed; `outputs` is the new state
    SIM_EVENT_BREAK,     // the gateway turned break on (`on` true) or off
    SIM_EVENT_OPENED,    // the gateway opened the device
    SIM_EVENT_CLOSED,    // the gateway closed it
};

struct SimEvent {
    SimEventKind kind;
    std::string data;
    std::uint32_t outputs;
    bool on;
    std::uint32_t tick_ms;  // clock_tick_ms() when it happened
};

// One break the gateway sent. off_tick_ms is meaningful once `ended`.
struct SimBreak {
    std::uint32_t on_tick_ms;
    std::uint32_t off_tick_ms;
    bool ended;
};

// One change of the gateway's output lines.
struct SimLineChange {
    std::uint32_t tick_ms;
    std::uint32_t outputs;  // SIM_DTR | SIM_RTS after the change
};

// Run on the device's equipment thread, one event at a time, in order. It may call any sim_*
// function of its own device except sim_serial_destroy.
using SimHandler = std::function<void(SimSerial *sim, const SimEvent &event)>;

// A device that the serial calls open by `name`, which must begin with "SIM" (compared without
// regard to case). The equipment's input lines start off; the line format is 9600 8N1 with DTR and
// RTS enabled, as a port fresh from the operating system. Null when the name is in use.
SimSerial *sim_serial_create(const char *name);
// Ends the equipment thread and withdraws the name. A gateway handle still open on it keeps
// working on valid memory until closed.
void sim_serial_destroy(SimSerial *sim);

// -- the equipment's side of the data --
// Bytes from the equipment to the gateway: queued for the gateway's reads (subject to XON/XOFF
// and DSR sensitivity as the line format says).
void sim_send(SimSerial *sim, const void *data, std::size_t length);
void sim_send_text(SimSerial *sim, const std::string &text);
// Everything the gateway has written since creation (or the last take), in order.
std::string sim_received(SimSerial *sim);
std::string sim_take_received(SimSerial *sim);
// Waits until what the gateway has written contains `text`. False at the time-out.
bool sim_wait_received(SimSerial *sim, const std::string &text, std::uint32_t timeout_ms);
// Waits until the gateway has written at least `count` bytes. False at the time-out.
bool sim_wait_received_count(SimSerial *sim, std::size_t count, std::uint32_t timeout_ms);
// Bytes sent by the equipment that the gateway has not read yet.
std::size_t sim_unread(SimSerial *sim);

// -- lines --
// Sets the equipment's output lines, which the gateway reads as its modem status (COM_*_ON bits).
void sim_set_inputs(SimSerial *sim, std::uint32_t status);
void sim_set_input(SimSerial *sim, std::uint32_t status_bit, bool on);
// The gateway's DTR and RTS (SIM_DTR | SIM_RTS); both off while the device is closed.
std::uint32_t sim_outputs(SimSerial *sim);
// Waits until (outputs & mask) == value. False at the time-out.
bool sim_wait_outputs(SimSerial *sim, std::uint32_t mask, std::uint32_t value,
                      std::uint32_t timeout_ms);
std::vector<SimLineChange> sim_output_history(SimSerial *sim);
// Line errors (COM_ERROR_* bits) the device reports at the gateway's next look, once.
void sim_line_errors(SimSerial *sim, std::uint32_t errors);
std::vector<SimBreak> sim_breaks(SimSerial *sim);
// Waits until `count` breaks have ended. False at the time-out.
bool sim_wait_breaks(SimSerial *sim, std::size_t count, std::uint32_t timeout_ms);

// With this on, bytes that arrive while DSR is off are dropped when the gateway's line format asks
// for DSR sensitivity, as a Windows port does. Off by default.
void sim_model_dsr_sensitivity(SimSerial *sim, bool on);

// -- the device as the gateway left it --
bool sim_is_open(SimSerial *sim);
int sim_open_count(SimSerial *sim);  // opens so far
SerialDcb sim_dcb(SimSerial *sim);
SerialTimeouts sim_timeouts(SimSerial *sim);
// True while a gateway write waits for flow control to let it go.
bool sim_write_held(SimSerial *sim);
// Waits until a gateway write is held back by flow control. False at the time-out.
bool sim_wait_write_held(SimSerial *sim, std::uint32_t timeout_ms);
// The next n cancels of a read or write (not those of a close) do nothing, as on a device slow
// to act on them.
void sim_miss_cancels(SimSerial *sim, int n);

// -- device calls --
// Calls of a kind made so far, and of every kind together.
int sim_calls(SimSerial *sim, SimCall kind);
int sim_total_calls(SimSerial *sim);
// The n-th counted call from now (1: the next one) of any kind fails; 0 disarms.
void sim_fail_call(SimSerial *sim, int n);
// The n-th call of this kind from now fails; 0 disarms.
void sim_fail_call_of(SimSerial *sim, SimCall kind, int n);

// -- scripted equipment --
// Whenever what the gateway writes completes `when` (searched after the previous match), the
// equipment sends `reply`, after delay_ms.
void sim_reply(SimSerial *sim, const std::string &when, const std::string &reply,
               std::uint32_t delay_ms = 0);
// The handler that sees every event from now on (replaces the previous one; empty: none).
void sim_set_handler(SimSerial *sim, SimHandler handler);
// Runs `action` on the equipment thread after delay_ms (e.g. raise CD a little later).
void sim_after(SimSerial *sim, std::uint32_t delay_ms, std::function<void(SimSerial *)> action);
