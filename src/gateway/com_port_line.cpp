// The COM-PORT-OPTION's line operations over a call's port: the option's terms to and from the
// device's control block, DTR, RTS and break, purges and the input lines.
#include "gateway/com_port_line.h"

#include <cstring>

namespace {

// The option's codes and the device's, for the parity and the stop bits.
struct CodePair {
    std::uint8_t option;
    std::uint8_t device;
};
constexpr CodePair PARITIES[] = {
    {COMPORT_PARITY_NONE, COM_PARITY_NONE}, {COMPORT_PARITY_ODD, COM_PARITY_ODD},
    {COMPORT_PARITY_EVEN, COM_PARITY_EVEN}, {COMPORT_PARITY_MARK, COM_PARITY_MARK},
    {COMPORT_PARITY_SPACE, COM_PARITY_SPACE},
};
constexpr CodePair STOP_SIZES[] = {
    {COMPORT_STOP_1, COM_STOP_BITS_1},
    {COMPORT_STOP_2, COM_STOP_BITS_2},
    {COMPORT_STOP_1_5, COM_STOP_BITS_1_5},
};

// The input lines and the line errors have the same bits on both sides.
static_assert(COMPORT_MODEM_CD == COM_RLSD_ON && COMPORT_MODEM_RI == COM_RING_ON &&
              COMPORT_MODEM_DSR == COM_DSR_ON && COMPORT_MODEM_CTS == COM_CTS_ON);
static_assert(COMPORT_LINE_BREAK == COM_ERROR_BREAK && COMPORT_LINE_FRAMING == COM_ERROR_FRAME &&
              COMPORT_LINE_PARITY == COM_ERROR_PARITY && COMPORT_LINE_OVERRUN == COM_ERROR_OVERRUN);

template <std::size_t N>
bool to_device(const CodePair (&pairs)[N], std::uint8_t option, std::uint8_t *device) {
    for (const CodePair &pair : pairs) {
        if (pair.option == option) {
            *device = pair.device;
            return true;
        }
    }
    return false;
}

template <std::size_t N>
std::uint8_t to_option(const CodePair (&pairs)[N], std::uint8_t device) {
    for (const CodePair &pair : pairs) {
        if (pair.device == device) return pair.option;
    }
    return 0;
}

ComPortLineState *state_of(void *line) { return static_cast<ComPortLineState *>(line); }

ComHandle handle_of(const ComPortLineState *state) { return state->port->com_handle.load(); }

// The line as the block says, with the lines the client drives as last set. Where the block asks
// for more than one handshake in a direction, the option can tell only one: hardware first.
ComPortLine line_of(const SerialDcb &dcb, const ComPortLineState &state) {
    ComPortLine line{};
    line.baud_rate = dcb.baud_rate;
    line.data_size = dcb.byte_size;
    line.parity = to_option(PARITIES, dcb.parity);
    line.stop_size = to_option(STOP_SIZES, dcb.stop_bits);
    line.flow_out = dcb.f_outx_cts_flow   ? COMPORT_FLOW_HARDWARE
                    : dcb.f_outx_dsr_flow ? COMPORT_FLOW_DSR
                    : dcb.f_out_x         ? COMPORT_FLOW_XONXOFF
                                          : COMPORT_FLOW_NONE;
    line.flow_in = dcb.f_rts_control == COM_LINE_CONTROL_HANDSHAKE   ? COMPORT_FLOW_IN_HARDWARE
                   : dcb.f_dtr_control == COM_LINE_CONTROL_HANDSHAKE ? COMPORT_FLOW_IN_DTR
                   : dcb.f_in_x                                      ? COMPORT_FLOW_IN_XONXOFF
                                                                     : COMPORT_FLOW_IN_NONE;
    line.break_on = state.break_on;
    line.dtr_on = state.dtr_on;
    line.rts_on = state.rts_on;
    return line;
}

void outbound_flow(SerialDcb *dcb, std::uint8_t flow) {
    if (flow == COMPORT_FLOW_DCD) return;  // no device here holds its output by carrier
    dcb->f_outx_cts_flow = flow == COMPORT_FLOW_HARDWARE ? 1 : 0;
    dcb->f_outx_dsr_flow = flow == COMPORT_FLOW_DSR ? 1 : 0;
    dcb->f_out_x = flow == COMPORT_FLOW_XONXOFF ? 1 : 0;
}

void inbound_flow(SerialDcb *dcb, std::uint8_t flow) {
    if (flow < COMPORT_FLOW_IN_NONE || flow > COMPORT_FLOW_IN_DTR || flow == COMPORT_FLOW_DCD) {
        return;
    }
    dcb->f_in_x = flow == COMPORT_FLOW_IN_XONXOFF ? 1 : 0;
    // The line left by a handshake goes back to plain on; the client's own DTR or RTS setting
    // follows below.
    if (flow == COMPORT_FLOW_IN_HARDWARE) {
        dcb->f_rts_control = COM_LINE_CONTROL_HANDSHAKE;
    } else if (dcb->f_rts_control == COM_LINE_CONTROL_HANDSHAKE) {
        dcb->f_rts_control = COM_LINE_CONTROL_ENABLE;
    }
    if (flow == COMPORT_FLOW_IN_DTR) {
        dcb->f_dtr_control = COM_LINE_CONTROL_HANDSHAKE;
    } else if (dcb->f_dtr_control == COM_LINE_CONTROL_HANDSHAKE) {
        dcb->f_dtr_control = COM_LINE_CONTROL_ENABLE;
    }
}

// A line that no handshake drives is held as the client wants it, also by the block: applying a
// block later (a new speed) must not raise a line the client dropped.
std::uint32_t line_control(std::uint32_t control, std::uint8_t on) {
    if (control == COM_LINE_CONTROL_HANDSHAKE) return control;
    return on != 0 ? COM_LINE_CONTROL_ENABLE : COM_LINE_CONTROL_DISABLE;
}

int line_get(void *line, ComPortLine *now) {
    ComPortLineState *state = state_of(line);
    SerialDcb dcb{};
    if (com_get_state(handle_of(state), &dcb) != 0) return -1;
    *now = line_of(dcb, *state);
    return 0;
}

int line_set(void *line, const ComPortLine *wanted, ComPortLine *now) {
    ComPortLineState *state = state_of(line);
    ComHandle handle = handle_of(state);
    SerialDcb dcb{};
    if (com_get_state(handle, &dcb) != 0) return -1;
    ComPortLine current = line_of(dcb, *state);
    SerialDcb next = dcb;
    if (wanted->baud_rate != current.baud_rate) next.baud_rate = wanted->baud_rate;
    if (wanted->data_size != current.data_size) next.byte_size = wanted->data_size;
    if (wanted->parity != current.parity && to_device(PARITIES, wanted->parity, &next.parity)) {
        next.f_parity = next.parity != COM_PARITY_NONE ? 1 : 0;
    }
    if (wanted->stop_size != current.stop_size) {
        (void)to_device(STOP_SIZES, wanted->stop_size, &next.stop_bits);
    }
    if (wanted->flow_out != current.flow_out) outbound_flow(&next, wanted->flow_out);
    if (wanted->flow_in != current.flow_in) inbound_flow(&next, wanted->flow_in);
    next.f_dtr_control = line_control(next.f_dtr_control, wanted->dtr_on);
    next.f_rts_control = line_control(next.f_rts_control, wanted->rts_on);
    if (std::memcmp(&next, &dcb, sizeof next) != 0) {
        state->changed = 1;
        // A block the device refuses leaves it as it was; the answer then tells what is in force.
        (void)com_set_state(handle, &next);
    }
    if (wanted->break_on != state->break_on) {
        state->changed = 1;
        int done = wanted->break_on != 0 ? com_set_break(handle) : com_clear_break(handle);
        if (done == 0) state->break_on = wanted->break_on;
    }
    if (wanted->dtr_on != state->dtr_on) {
        state->changed = 1;
        if (com_escape(handle, wanted->dtr_on != 0 ? COM_SETDTR : COM_CLRDTR) == 0) {
            state->dtr_on = wanted->dtr_on;
        }
    }
    if (wanted->rts_on != state->rts_on) {
        state->changed = 1;
        if (com_escape(handle, wanted->rts_on != 0 ? COM_SETRTS : COM_CLRRTS) == 0) {
            state->rts_on = wanted->rts_on;
        }
    }
    return line_get(line, now);
}

int line_purge(void *line, std::uint8_t which) {
    std::uint32_t flags = 0;
    if (which & COMPORT_PURGE_FROM_EQUIPMENT) flags |= COM_PURGE_RXCLEAR;
    if (which & COMPORT_PURGE_TO_EQUIPMENT) flags |= COM_PURGE_TXCLEAR;
    return com_purge(handle_of(state_of(line)), flags);
}

int line_modem_state(void *line, std::uint8_t *state) {
    std::uint32_t status = 0;
    *state = 0;
    if (com_modem_status(handle_of(state_of(line)), &status) != 0) return -1;
    *state = static_cast<std::uint8_t>(status & 0xF0);
    return 0;
}

int line_errors(void *line, std::uint8_t *errors) {
    std::uint32_t found = 0;
    *errors = 0;
    if (com_line_errors(handle_of(state_of(line)), &found) != 0) return -1;
    *errors = static_cast<std::uint8_t>(found & 0x1E);
    return 0;
}

}  // namespace

const ComPortLineOps COM_PORT_LINE_OPS = {line_get, line_set, line_purge, line_modem_state,
                                          line_errors};

void com_port_line_attach(ComPortLineState *state, PortRecord *port) {
    *state = ComPortLineState{};
    state->port = port;
    state->first_known = com_get_state(handle_of(state), &state->first) == 0 ? 1 : 0;
    // The lines as the block drives them (the connect sequence raised what it raises on top).
    state->dtr_on = !state->first_known || state->first.f_dtr_control != COM_LINE_CONTROL_DISABLE;
    state->rts_on = !state->first_known || state->first.f_rts_control != COM_LINE_CONTROL_DISABLE;
}

void com_port_line_restore(ComPortLineState *state) {
    if (state->port == nullptr || state->changed == 0) return;
    ComHandle handle = handle_of(state);
    if (state->break_on != 0) (void)com_clear_break(handle);
    if (state->first_known != 0) (void)com_set_state(handle, &state->first);
    state->changed = 0;
    state->break_on = 0;
}
