// The simulated serial device: a backend table registered with the platform's serial layer that
// claims the names beginning with SIM, and the equipment's side for the tests. One lock per device
// guards everything; one condition variable wakes every waiter on any change.
#include "sim/sim_serial.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/clock.h"
#include "platform/serial_backend.h"
#include "platform/thread.h"

namespace {

using Clock = std::chrono::steady_clock;

struct SimRule {
    std::string when;
    std::string reply;
    std::uint32_t delay_ms;
    std::string window;  // what was written since the rule last matched (its tail, at most)
};

struct SimTimer {
    Clock::time_point due;
    std::uint64_t order;  // timers due at once run in the order they were set
    std::function<void(SimSerial *)> action;
};

}  // namespace

struct SimSerial {
    std::string name;
    std::mutex lock;
    std::condition_variable changed;  // any change below
    int references = 1;               // the test's, plus one while the gateway has it open
    bool destroyed = false;
    Thread *thread = nullptr;

    bool open = false;
    int open_count = 0;
    SerialDcb dcb{};
    SerialTimeouts timeouts{};
    std::deque<std::uint8_t> to_gateway;
    std::string received;
    std::uint32_t inputs = 0;
    std::uint32_t outputs = 0;
    std::uint32_t line_errors = 0;  // reported at the next look, then cleared
    std::vector<SimLineChange> history;
    std::vector<SimBreak> breaks;
    bool xoff_received = false;
    bool model_dsr = false;

    // The gateway's transfers.
    bool closing = false;
    bool reading = false;
    bool read_cancelled = false;
    bool writing = false;
    bool write_cancelled = false;
    bool write_held = false;
    int cancels_missed = 0;  // cancels still to be missed, as by a device slow to act on them

    int calls[SIM_CALL_KINDS] = {};
    int total_calls = 0;
    int fail_any = 0;
    int fail_kind[SIM_CALL_KINDS] = {};

    std::deque<SimEvent> events;
    std::vector<SimRule> rules;
    SimHandler handler;
    std::vector<SimTimer> timers;
    std::uint64_t timer_order = 0;
};

namespace {

std::mutex registry_lock;
std::vector<SimSerial *> registry;  // under registry_lock

bool same_name(const std::string &a, const char *b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return i == a.size() && b[i] == '\0';
}

bool sim_name(const char *name) {
    return (name[0] == 'S' || name[0] == 's') && (name[1] == 'I' || name[1] == 'i') &&
           (name[2] == 'M' || name[2] == 'm');
}

SimSerial *as_sim(void *device) { return static_cast<SimSerial *>(device); }

// The caller holds sim->lock in all of the helpers below.

void push_event(SimSerial *sim, SimEvent event) {
    event.tick_ms = clock_tick_ms();
    sim->events.push_back(std::move(event));
    sim->changed.notify_all();
}

void set_outputs(SimSerial *sim, std::uint32_t outputs) {
    if (outputs == sim->outputs) return;
    sim->outputs = outputs;
    sim->history.push_back(SimLineChange{clock_tick_ms(), outputs});
    push_event(sim, SimEvent{SIM_EVENT_OUTPUTS, {}, outputs, false, 0});
}

// True when this call is one a test asked to fail.
bool call_fails(SimSerial *sim, SimCall kind) {
    ++sim->calls[kind];
    ++sim->total_calls;
    bool fail = false;
    if (sim->fail_any > 0 && --sim->fail_any == 0) fail = true;
    if (sim->fail_kind[kind] > 0 && --sim->fail_kind[kind] == 0) fail = true;
    return fail;
}

bool output_held(const SimSerial *sim) {
    return (sim->dcb.f_outx_cts_flow && !(sim->inputs & COM_CTS_ON)) ||
           (sim->dcb.f_outx_dsr_flow && !(sim->inputs & COM_DSR_ON)) ||
           (sim->dcb.f_out_x && sim->xoff_received);
}

void unreference(SimSerial *sim, std::unique_lock<std::mutex> &hold) {
    bool last = --sim->references == 0;
    hold.unlock();
    if (last) delete sim;
}

// -- the backend table --

int sim_claims(const char *name) { return sim_name(name) ? 1 : 0; }

void *sim_open(const char *name) {
    std::lock_guard<std::mutex> registry_hold(registry_lock);
    for (SimSerial *sim : registry) {
        if (!same_name(sim->name, name)) continue;
        std::lock_guard<std::mutex> hold(sim->lock);
        if (call_fails(sim, SIM_CALL_OPEN) || sim->open) return nullptr;
        sim->open = true;
        ++sim->open_count;
        ++sim->references;
        sim->closing = false;
        sim->xoff_received = false;
        push_event(sim, SimEvent{SIM_EVENT_OPENED, {}, 0, false, 0});
        set_outputs(sim, (sim->dcb.f_dtr_control != COM_LINE_CONTROL_DISABLE ? SIM_DTR : 0) |
                             (sim->dcb.f_rts_control != COM_LINE_CONTROL_DISABLE ? SIM_RTS : 0));
        return sim;
    }
    return nullptr;
}

int sim_get_state(void *device, SerialDcb *dcb) {
    SimSerial *sim = as_sim(device);
    std::lock_guard<std::mutex> hold(sim->lock);
    if (call_fails(sim, SIM_CALL_GET_STATE)) return -1;
    *dcb = sim->dcb;
    return 0;
}

int sim_set_state(void *device, const SerialDcb *dcb) {
    SimSerial *sim = as_sim(device);
    std::lock_guard<std::mutex> hold(sim->lock);
    if (call_fails(sim, SIM_CALL_SET_STATE)) return -1;
    // What a Windows port refuses as a whole.
    if (dcb->baud_rate == 0 || dcb->byte_size < 5 || dcb->byte_size > 8 ||
        dcb->parity > COM_PARITY_SPACE || dcb->stop_bits > COM_STOP_BITS_2 ||
        (dcb->stop_bits == COM_STOP_BITS_1_5 && dcb->byte_size != 5) ||
        dcb->f_dtr_control > COM_LINE_CONTROL_HANDSHAKE ||
        dcb->f_rts_control > COM_LINE_CONTROL_HANDSHAKE) {
        return -1;
    }
    sim->dcb = *dcb;
    if (!dcb->f_out_x) sim->xoff_received = false;
    // A handshake line is raised: the simulated receive buffer never fills.
    set_outputs(sim, (dcb->f_dtr_control != COM_LINE_CONTROL_DISABLE ? SIM_DTR : 0) |
                         (dcb->f_rts_control != COM_LINE_CONTROL_DISABLE ? SIM_RTS : 0));
    sim->changed.notify_all();
    return 0;
}

int sim_get_timeouts(void *device, SerialTimeouts *timeouts) {
    SimSerial *sim = as_sim(device);
    std::lock_guard<std::mutex> hold(sim->lock);
    if (call_fails(sim, SIM_CALL_GET_TIMEOUTS)) return -1;
    *timeouts = sim->timeouts;
    return 0;
}

int sim_set_timeouts(void *device, const SerialTimeouts *timeouts) {
    SimSerial *sim = as_sim(device);
    std::lock_guard<std::mutex> hold(sim->lock);
    if (call_fails(sim, SIM_CALL_SET_TIMEOUTS)) return -1;
    sim->timeouts = *timeouts;
    return 0;
}

int sim_read(void *device, void *buffer, std::uint32_t maximum, std::uint32_t *count) {
    SimSerial *sim = as_sim(device);
    std::unique_lock<std::mutex> hold(sim->lock);
    if (call_fails(sim, SIM_CALL_READ) || sim->closing) return -1;
    sim->reading = true;
    sim->read_cancelled = false;
    const SerialTimeouts &t = sim->timeouts;
    bool what_arrived = t.read_interval_timeout == COM_MAXDWORD &&
                        t.read_total_timeout_multiplier == 0;
    std::uint64_t total =
        what_arrived ? t.read_total_timeout_constant
                     : static_cast<std::uint64_t>(t.read_total_timeout_multiplier) * maximum +
                           t.read_total_timeout_constant;
    bool limited = what_arrived || total != 0;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(total);
    std::uint8_t *bytes = static_cast<std::uint8_t *>(buffer);
    std::uint32_t got = 0;
    int result = 0;
    while (got < maximum) {
        if (sim->closing || sim->read_cancelled) {
            result = -1;
            break;
        }
        if (!sim->to_gateway.empty()) {
            while (got < maximum && !sim->to_gateway.empty()) {
                bytes[got++] = sim->to_gateway.front();
                sim->to_gateway.pop_front();
            }
            sim->changed.notify_all();
            if (what_arrived) break;
            continue;
        }
        if (limited) {
            if (Clock::now() >= deadline) break;
            sim->changed.wait_until(hold, deadline);
        } else {
            sim->changed.wait(hold);
        }
    }
    sim->reading = false;
    *count = result == 0 ? got : 0;
    return result;
}

// The wake-up is the platform's and cannot wake this device's condition variable: it is looked
// at this often while a wait runs.
constexpr std::uint32_t WAKE_LOOK_MS = 5;

int sim_wait(void *device, ComWake *wake, int watch_lines, std::uint32_t timeout_ms,
             std::uint32_t *events) {
    SimSerial *sim = as_sim(device);
    std::unique_lock<std::mutex> hold(sim->lock);
    if (call_fails(sim, SIM_CALL_WAIT) || sim->closing || wake == nullptr) return -1;
    sim->reading = true;
    sim->read_cancelled = false;
    bool forever = timeout_ms == COM_WAIT_FOREVER;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeout_ms);
    std::uint32_t inputs_before = sim->inputs;
    int result = 0;
    for (;;) {
        if (sim->closing || sim->read_cancelled) {
            result = -1;
            break;
        }
        if (!sim->to_gateway.empty()) *events |= COM_EVENT_INPUT;
        if (watch_lines && sim->inputs != inputs_before) *events |= COM_EVENT_LINES;
        if (com_wake_take(wake)) *events |= COM_EVENT_WAKE;
        Clock::time_point now = Clock::now();
        if (*events != 0 || (!forever && now >= deadline)) break;
        Clock::time_point look = now + std::chrono::milliseconds(WAKE_LOOK_MS);
        sim->changed.wait_until(hold, !forever && deadline < look ? deadline : look);
    }
    sim->reading = false;
    return result;
}

int sim_write(void *device, const void *data, std::uint32_t length, std::uint32_t *count) {
    SimSerial *sim = as_sim(device);
    std::unique_lock<std::mutex> hold(sim->lock);
    if (call_fails(sim, SIM_CALL_WRITE) || sim->closing) return -1;
    sim->writing = true;
    sim->write_cancelled = false;
    std::uint64_t total =
        static_cast<std::uint64_t>(sim->timeouts.write_total_timeout_multiplier) * length +
        sim->timeouts.write_total_timeout_constant;
    bool limited = total != 0;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(total);
    int result = 0;
    bool sent = true;
    for (;;) {
        if (sim->closing || sim->write_cancelled) {
            result = -1;
            break;
        }
        if (!output_held(sim)) break;
        if (!sim->write_held) {
            sim->write_held = true;
            sim->changed.notify_all();
        }
        if (limited) {
            if (Clock::now() >= deadline) {
                sent = false;  // the write time-out ran out with nothing sent
                break;
            }
            sim->changed.wait_until(hold, deadline);
        } else {
            sim->changed.wait(hold);
        }
    }
    sim->write_held = false;
    sim->writing = false;
    if (result == 0 && sent && length > 0) {
        std::string bytes(static_cast<const char *>(data), length);
        sim->received += bytes;
        push_event(sim, SimEvent{SIM_EVENT_RECEIVED, bytes, 0, false, 0});
        *count = length;
    }
    sim->changed.notify_all();
    return result;
}

int sim_escape(void *device, std::uint32_t code) {
    SimSerial *sim = as_sim(device);
    std::lock_guard<std::mutex> hold(sim->lock);
    if (call_fails(sim, SIM_CALL_ESCAPE)) return -1;
    std::uint32_t outputs = sim->outputs;
    switch (code) {
    case COM_SETDTR: outputs |= SIM_DTR; break;
    case COM_CLRDTR: outputs &= ~SIM_DTR; break;
    case COM_SETRTS: outputs |= SIM_RTS; break;
    case COM_CLRRTS: outputs &= ~SIM_RTS; break;
    default: return -1;
    }
    set_outputs(sim, outputs);
    return 0;
}

int sim_modem_status(void *device, std::uint32_t *status) {
    SimSerial *sim = as_sim(device);
    std::lock_guard<std::mutex> hold(sim->lock);
    if (call_fails(sim, SIM_CALL_MODEM_STATUS)) return -1;
    *status = sim->inputs;
    return 0;
}

int sim_get_line_errors(void *device, std::uint32_t *errors) {
    SimSerial *sim = as_sim(device);
    std::lock_guard<std::mutex> hold(sim->lock);
    if (call_fails(sim, SIM_CALL_LINE_ERRORS)) return -1;
    *errors = sim->line_errors;
    sim->line_errors = 0;
    return 0;
}

int sim_set_break(void *device, int on) {
    SimSerial *sim = as_sim(device);
    std::lock_guard<std::mutex> hold(sim->lock);
    if (call_fails(sim, SIM_CALL_BREAK)) return -1;
    bool running = !sim->breaks.empty() && !sim->breaks.back().ended;
    if (on && !running) {
        sim->breaks.push_back(SimBreak{clock_tick_ms(), 0, false});
        push_event(sim, SimEvent{SIM_EVENT_BREAK, {}, 0, true, 0});
    } else if (!on && running) {
        sim->breaks.back().off_tick_ms = clock_tick_ms();
        sim->breaks.back().ended = true;
        push_event(sim, SimEvent{SIM_EVENT_BREAK, {}, 0, false, 0});
    }
    return 0;
}

int sim_purge(void *device, std::uint32_t flags) {
    SimSerial *sim = as_sim(device);
    std::lock_guard<std::mutex> hold(sim->lock);
    if (call_fails(sim, SIM_CALL_PURGE)) return -1;
    if ((flags & COM_PURGE_RXABORT) && sim->reading) sim->read_cancelled = true;
    if ((flags & COM_PURGE_TXABORT) && sim->writing) sim->write_cancelled = true;
    if (flags & COM_PURGE_RXCLEAR) sim->to_gateway.clear();
    sim->changed.notify_all();
    return 0;
}

void sim_cancel(void *device, std::uint32_t which, int closing) {
    SimSerial *sim = as_sim(device);
    std::lock_guard<std::mutex> hold(sim->lock);
    if (closing) sim->closing = true;
    if (!closing && sim->cancels_missed > 0) {
        --sim->cancels_missed;
        return;
    }
    if ((which & COM_CANCEL_READ) && sim->reading) sim->read_cancelled = true;
    if ((which & COM_CANCEL_WRITE) && sim->writing) sim->write_cancelled = true;
    sim->changed.notify_all();
}

void sim_close(void *device) {
    SimSerial *sim = as_sim(device);
    std::unique_lock<std::mutex> hold(sim->lock);
    sim->open = false;
    sim->to_gateway.clear();
    set_outputs(sim, 0);  // a closed port drops DTR and RTS
    push_event(sim, SimEvent{SIM_EVENT_CLOSED, {}, 0, false, 0});
    unreference(sim, hold);
}

const ComBackend sim_backend = {
    .claims = sim_claims,
    .open = sim_open,
    .get_state = sim_get_state,
    .set_state = sim_set_state,
    .get_timeouts = sim_get_timeouts,
    .set_timeouts = sim_set_timeouts,
    .read = sim_read,
    .write = sim_write,
    .escape = sim_escape,
    .modem_status = sim_modem_status,
    .line_errors = sim_get_line_errors,
    .set_break = sim_set_break,
    .purge = sim_purge,
    .cancel = sim_cancel,
    .close = sim_close,
    .wait = sim_wait,
};

// -- the equipment thread --

void run_rules(SimSerial *sim, const std::string &data) {
    for (SimRule &rule : sim->rules) {
        rule.window += data;
        std::size_t at;
        while (!rule.when.empty() && (at = rule.window.find(rule.when)) != std::string::npos) {
            rule.window.erase(0, at + rule.when.size());
            std::string reply = rule.reply;
            sim->timers.push_back(SimTimer{Clock::now() + std::chrono::milliseconds(rule.delay_ms),
                                           sim->timer_order++,
                                           [reply](SimSerial *s) { sim_send_text(s, reply); }});
        }
        // Only a tail shorter than `when` can still start a match.
        if (rule.window.size() >= rule.when.size() && !rule.when.empty()) {
            rule.window.erase(0, rule.window.size() - (rule.when.size() - 1));
        }
    }
}

std::uint32_t equipment_main(void *arg) {
    SimSerial *sim = static_cast<SimSerial *>(arg);
    std::unique_lock<std::mutex> hold(sim->lock);
    while (!sim->destroyed) {
        if (!sim->events.empty()) {
            SimEvent event = std::move(sim->events.front());
            sim->events.pop_front();
            if (event.kind == SIM_EVENT_RECEIVED) run_rules(sim, event.data);
            SimHandler handler = sim->handler;
            if (handler) {
                hold.unlock();
                handler(sim, event);
                hold.lock();
            }
            continue;
        }
        if (!sim->timers.empty()) {
            auto next = std::min_element(sim->timers.begin(), sim->timers.end(),
                                         [](const SimTimer &a, const SimTimer &b) {
                                             return a.due != b.due ? a.due < b.due
                                                                   : a.order < b.order;
                                         });
            if (next->due <= Clock::now()) {
                std::function<void(SimSerial *)> action = std::move(next->action);
                sim->timers.erase(next);
                hold.unlock();
                action(sim);
                hold.lock();
                continue;
            }
            Clock::time_point due = next->due;  // the vector may grow while the lock is let go
            sim->changed.wait_until(hold, due);
            continue;
        }
        sim->changed.wait(hold);
    }
    return 0;
}

template <typename Done>
bool wait_until_done(SimSerial *sim, std::uint32_t timeout_ms, Done done) {
    std::unique_lock<std::mutex> hold(sim->lock);
    return sim->changed.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                                 [&] { return done(); });
}

}  // namespace

SimSerial *sim_serial_create(const char *name) {
    if (!sim_name(name)) return nullptr;
    com_register_backend(&sim_backend);
    std::lock_guard<std::mutex> registry_hold(registry_lock);
    for (SimSerial *other : registry) {
        if (same_name(other->name, name)) return nullptr;
    }
    SimSerial *sim = new SimSerial();
    sim->name = name;
    sim->dcb.dcb_length = COM_DCB_LENGTH;
    sim->dcb.baud_rate = 9600;
    sim->dcb.f_binary = 1;
    sim->dcb.f_dtr_control = COM_LINE_CONTROL_ENABLE;
    sim->dcb.f_rts_control = COM_LINE_CONTROL_ENABLE;
    sim->dcb.xon_lim = 2048;
    sim->dcb.xoff_lim = 512;
    sim->dcb.byte_size = 8;
    sim->dcb.xon_char = 17;
    sim->dcb.xoff_char = 19;
    sim->thread = thread_start(equipment_main, sim, 0);
    if (sim->thread == nullptr) {
        delete sim;
        return nullptr;
    }
    registry.push_back(sim);
    return sim;
}

void sim_serial_destroy(SimSerial *sim) {
    if (sim == nullptr) return;
    {
        std::lock_guard<std::mutex> registry_hold(registry_lock);
        registry.erase(std::find(registry.begin(), registry.end(), sim));
    }
    {
        std::lock_guard<std::mutex> hold(sim->lock);
        sim->destroyed = true;
        sim->changed.notify_all();
    }
    (void)thread_join(sim->thread, WAIT_FOREVER_MS);
    thread_close(sim->thread);
    std::unique_lock<std::mutex> hold(sim->lock);
    sim->handler = nullptr;
    sim->timers.clear();
    unreference(sim, hold);
}

void sim_send(SimSerial *sim, const void *data, std::size_t length) {
    std::lock_guard<std::mutex> hold(sim->lock);
    // Nothing reaches a port that is not open, as on a real line.
    if (!sim->open) return;
    const std::uint8_t *bytes = static_cast<const std::uint8_t *>(data);
    for (std::size_t i = 0; i < length; ++i) {
        std::uint8_t byte = bytes[i];
        if (sim->dcb.f_out_x && byte == sim->dcb.xoff_char) {
            sim->xoff_received = true;
            continue;
        }
        if (sim->dcb.f_out_x && byte == sim->dcb.xon_char) {
            sim->xoff_received = false;
            continue;
        }
        if (sim->model_dsr && sim->dcb.f_dsr_sensitivity && !(sim->inputs & COM_DSR_ON)) continue;
        sim->to_gateway.push_back(byte);
    }
    sim->changed.notify_all();
}

void sim_send_text(SimSerial *sim, const std::string &text) {
    sim_send(sim, text.data(), text.size());
}

std::string sim_received(SimSerial *sim) {
    std::lock_guard<std::mutex> hold(sim->lock);
    return sim->received;
}

std::string sim_take_received(SimSerial *sim) {
    std::lock_guard<std::mutex> hold(sim->lock);
    std::string taken;
    taken.swap(sim->received);
    return taken;
}

bool sim_wait_received(SimSerial *sim, const std::string &text, std::uint32_t timeout_ms) {
    return wait_until_done(sim, timeout_ms,
                           [&] { return sim->received.find(text) != std::string::npos; });
}

bool sim_wait_received_count(SimSerial *sim, std::size_t count, std::uint32_t timeout_ms) {
    return wait_until_done(sim, timeout_ms, [&] { return sim->received.size() >= count; });
}

std::size_t sim_unread(SimSerial *sim) {
    std::lock_guard<std::mutex> hold(sim->lock);
    return sim->to_gateway.size();
}

void sim_set_inputs(SimSerial *sim, std::uint32_t status) {
    std::lock_guard<std::mutex> hold(sim->lock);
    sim->inputs = status & (COM_CTS_ON | COM_DSR_ON | COM_RING_ON | COM_RLSD_ON);
    sim->changed.notify_all();
}

void sim_set_input(SimSerial *sim, std::uint32_t status_bit, bool on) {
    std::lock_guard<std::mutex> hold(sim->lock);
    std::uint32_t bit = status_bit & (COM_CTS_ON | COM_DSR_ON | COM_RING_ON | COM_RLSD_ON);
    sim->inputs = on ? (sim->inputs | bit) : (sim->inputs & ~bit);
    sim->changed.notify_all();
}

std::uint32_t sim_outputs(SimSerial *sim) {
    std::lock_guard<std::mutex> hold(sim->lock);
    return sim->outputs;
}

bool sim_wait_outputs(SimSerial *sim, std::uint32_t mask, std::uint32_t value,
                      std::uint32_t timeout_ms) {
    return wait_until_done(sim, timeout_ms, [&] { return (sim->outputs & mask) == value; });
}

std::vector<SimLineChange> sim_output_history(SimSerial *sim) {
    std::lock_guard<std::mutex> hold(sim->lock);
    return sim->history;
}

void sim_line_errors(SimSerial *sim, std::uint32_t errors) {
    std::lock_guard<std::mutex> hold(sim->lock);
    sim->line_errors |= errors;
    sim->changed.notify_all();
}

std::vector<SimBreak> sim_breaks(SimSerial *sim) {
    std::lock_guard<std::mutex> hold(sim->lock);
    return sim->breaks;
}

bool sim_wait_breaks(SimSerial *sim, std::size_t count, std::uint32_t timeout_ms) {
    return wait_until_done(sim, timeout_ms, [&] {
        std::size_t ended = 0;
        for (const SimBreak &b : sim->breaks) ended += b.ended ? 1 : 0;
        return ended >= count;
    });
}

void sim_model_dsr_sensitivity(SimSerial *sim, bool on) {
    std::lock_guard<std::mutex> hold(sim->lock);
    sim->model_dsr = on;
}

bool sim_is_open(SimSerial *sim) {
    std::lock_guard<std::mutex> hold(sim->lock);
    return sim->open;
}

int sim_open_count(SimSerial *sim) {
    std::lock_guard<std::mutex> hold(sim->lock);
    return sim->open_count;
}

SerialDcb sim_dcb(SimSerial *sim) {
    std::lock_guard<std::mutex> hold(sim->lock);
    return sim->dcb;
}

SerialTimeouts sim_timeouts(SimSerial *sim) {
    std::lock_guard<std::mutex> hold(sim->lock);
    return sim->timeouts;
}

bool sim_write_held(SimSerial *sim) {
    std::lock_guard<std::mutex> hold(sim->lock);
    return sim->write_held;
}

bool sim_wait_write_held(SimSerial *sim, std::uint32_t timeout_ms) {
    return wait_until_done(sim, timeout_ms, [&] { return sim->write_held; });
}

void sim_miss_cancels(SimSerial *sim, int n) {
    std::lock_guard<std::mutex> hold(sim->lock);
    sim->cancels_missed = n;
}

int sim_calls(SimSerial *sim, SimCall kind) {
    std::lock_guard<std::mutex> hold(sim->lock);
    return sim->calls[kind];
}

int sim_total_calls(SimSerial *sim) {
    std::lock_guard<std::mutex> hold(sim->lock);
    return sim->total_calls;
}

void sim_fail_call(SimSerial *sim, int n) {
    std::lock_guard<std::mutex> hold(sim->lock);
    sim->fail_any = n;
}

void sim_fail_call_of(SimSerial *sim, SimCall kind, int n) {
    std::lock_guard<std::mutex> hold(sim->lock);
    sim->fail_kind[kind] = n;
}

void sim_reply(SimSerial *sim, const std::string &when, const std::string &reply,
               std::uint32_t delay_ms) {
    std::lock_guard<std::mutex> hold(sim->lock);
    sim->rules.push_back(SimRule{when, reply, delay_ms, {}});
}

void sim_set_handler(SimSerial *sim, SimHandler handler) {
    std::lock_guard<std::mutex> hold(sim->lock);
    sim->handler = std::move(handler);
}

void sim_after(SimSerial *sim, std::uint32_t delay_ms, std::function<void(SimSerial *)> action) {
    std::lock_guard<std::mutex> hold(sim->lock);
    sim->timers.push_back(SimTimer{Clock::now() + std::chrono::milliseconds(delay_ms),
                                   sim->timer_order++, std::move(action)});
    sim->changed.notify_all();
}
