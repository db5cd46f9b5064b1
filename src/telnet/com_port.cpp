// The COM-PORT-OPTION's commands, answers and notices (RFC 2217).
#include "telnet/com_port.h"

#include <cstring>

#include "telnet/telnet.h"

namespace {

// What a command needs: the bytes of its value, and whether it waits for the line.
struct CommandShape {
    std::int32_t value_size;  // -1: a text of any length (SIGNATURE)
    bool needs_line;
};
constexpr CommandShape COMMAND_SHAPES[] = {
    {-1, false},  // SIGNATURE
    {4, true},    // SET-BAUDRATE
    {1, true},    // SET-DATASIZE
    {1, true},    // SET-PARITY
    {1, true},    // SET-STOPSIZE
    {1, true},    // SET-CONTROL
    {0, true},    // NOTIFY-LINESTATE: a client's look at the line state
    {0, true},    // NOTIFY-MODEMSTATE: a client's look at the input lines
    {0, false},   // FLOWCONTROL-SUSPEND
    {0, false},   // FLOWCONTROL-RESUME
    {1, false},   // SET-LINESTATE-MASK
    {1, false},   // SET-MODEMSTATE-MASK
    {1, true},    // PURGE-DATA
};
static_assert(sizeof COMMAND_SHAPES / sizeof COMMAND_SHAPES[0] == COMPORT_PURGE_DATA + 1);

// A SET-CONTROL value that changes the line: which part of ComPortLine it sets, to what.
enum ControlPart { PART_FLOW_BOTH, PART_FLOW_OUT, PART_FLOW_IN, PART_BREAK, PART_DTR, PART_RTS };
struct ControlChange {
    std::uint8_t value;
    ControlPart part;
    std::uint8_t setting;  // the flow code, or 1/0 for a line
};
constexpr ControlChange CONTROL_CHANGES[] = {
    {COMPORT_FLOW_NONE, PART_FLOW_BOTH, COMPORT_FLOW_NONE},
    {COMPORT_FLOW_XONXOFF, PART_FLOW_BOTH, COMPORT_FLOW_XONXOFF},
    {COMPORT_FLOW_HARDWARE, PART_FLOW_BOTH, COMPORT_FLOW_HARDWARE},
    {COMPORT_FLOW_DCD, PART_FLOW_OUT, COMPORT_FLOW_DCD},
    {COMPORT_FLOW_DSR, PART_FLOW_OUT, COMPORT_FLOW_DSR},
    {COMPORT_FLOW_IN_NONE, PART_FLOW_IN, COMPORT_FLOW_IN_NONE},
    {COMPORT_FLOW_IN_XONXOFF, PART_FLOW_IN, COMPORT_FLOW_IN_XONXOFF},
    {COMPORT_FLOW_IN_HARDWARE, PART_FLOW_IN, COMPORT_FLOW_IN_HARDWARE},
    {COMPORT_FLOW_IN_DTR, PART_FLOW_IN, COMPORT_FLOW_IN_DTR},
    {COMPORT_BREAK_ON, PART_BREAK, 1},
    {COMPORT_BREAK_OFF, PART_BREAK, 0},
    {COMPORT_DTR_ON, PART_DTR, 1},
    {COMPORT_DTR_OFF, PART_DTR, 0},
    {COMPORT_RTS_ON, PART_RTS, 1},
    {COMPORT_RTS_OFF, PART_RTS, 0},
};

// The inbound half that an "outbound/both" flow code sets too.
std::uint8_t inbound_of(std::uint8_t flow) {
    switch (flow) {
    case COMPORT_FLOW_XONXOFF: return COMPORT_FLOW_IN_XONXOFF;
    case COMPORT_FLOW_HARDWARE: return COMPORT_FLOW_IN_HARDWARE;
    default: return COMPORT_FLOW_IN_NONE;
    }
}

// The answer to a SET-CONTROL value, from the line in force: the state of what it set or asked.
// 0 when the value is none of the option's.
std::uint8_t control_answer(std::uint8_t value, const ComPortLine &now) {
    switch (value) {
    case COMPORT_FLOW_QUERY:
    case COMPORT_FLOW_NONE:
    case COMPORT_FLOW_XONXOFF:
    case COMPORT_FLOW_HARDWARE:
    case COMPORT_FLOW_DCD:
    case COMPORT_FLOW_DSR: return now.flow_out;
    case COMPORT_FLOW_IN_QUERY:
    case COMPORT_FLOW_IN_NONE:
    case COMPORT_FLOW_IN_XONXOFF:
    case COMPORT_FLOW_IN_HARDWARE:
    case COMPORT_FLOW_IN_DTR: return now.flow_in;
    case COMPORT_BREAK_QUERY:
    case COMPORT_BREAK_ON:
    case COMPORT_BREAK_OFF: return now.break_on != 0 ? COMPORT_BREAK_ON : COMPORT_BREAK_OFF;
    case COMPORT_DTR_QUERY:
    case COMPORT_DTR_ON:
    case COMPORT_DTR_OFF: return now.dtr_on != 0 ? COMPORT_DTR_ON : COMPORT_DTR_OFF;
    case COMPORT_RTS_QUERY:
    case COMPORT_RTS_ON:
    case COMPORT_RTS_OFF: return now.rts_on != 0 ? COMPORT_RTS_ON : COMPORT_RTS_OFF;
    default: return 0;
    }
}

// SET-CONTROL: 0 with the byte to answer, -1 when there is nothing to answer.
int control(const ComPortServer *server, std::uint8_t value, std::uint8_t *answer) {
    ComPortLine now{};
    if (server->ops->get(server->line, &now) != 0) return -1;
    for (const ControlChange &change : CONTROL_CHANGES) {
        if (change.value != value) continue;
        ComPortLine wanted = now;
        switch (change.part) {
        case PART_FLOW_BOTH:
            wanted.flow_out = change.setting;
            wanted.flow_in = inbound_of(change.setting);
            break;
        case PART_FLOW_OUT: wanted.flow_out = change.setting; break;
        case PART_FLOW_IN: wanted.flow_in = change.setting; break;
        case PART_BREAK: wanted.break_on = change.setting; break;
        case PART_DTR: wanted.dtr_on = change.setting; break;
        case PART_RTS: wanted.rts_on = change.setting; break;
        }
        if (server->ops->set(server->line, &wanted, &now) != 0) return -1;
        break;
    }
    *answer = control_answer(value, now);
    return *answer != 0 ? 0 : -1;
}

// A setting of the line with its query (value 0): the value in force afterwards. -1 when the line
// cannot be reached.
int line_setting(const ComPortServer *server, const ComPortRequest &request,
                 std::uint32_t *answer) {
    ComPortLine now{};
    if (server->ops->get(server->line, &now) != 0) return -1;
    if (request.value != 0) {
        ComPortLine wanted = now;
        std::uint8_t byte = static_cast<std::uint8_t>(request.value);
        switch (request.command) {
        case COMPORT_SET_BAUDRATE: wanted.baud_rate = request.value; break;
        case COMPORT_SET_DATASIZE: wanted.data_size = byte; break;
        case COMPORT_SET_PARITY: wanted.parity = byte; break;
        default: wanted.stop_size = byte; break;
        }
        if (server->ops->set(server->line, &wanted, &now) != 0) return -1;
    }
    switch (request.command) {
    case COMPORT_SET_BAUDRATE: *answer = now.baud_rate; break;
    case COMPORT_SET_DATASIZE: *answer = now.data_size; break;
    case COMPORT_SET_PARITY: *answer = now.parity; break;
    default: *answer = now.stop_size; break;
    }
    return 0;
}

std::int32_t answer_byte(std::uint8_t command, std::uint8_t value, std::uint8_t *out,
                         std::int32_t size) {
    return com_port_message(static_cast<std::uint8_t>(COMPORT_SERVER + command), &value, 1, out,
                            size);
}

// The input lines now, with the change bits against `before`.
std::uint8_t modem_changes(std::uint8_t lines, std::uint8_t before) {
    std::uint8_t changed = static_cast<std::uint8_t>((lines ^ before) & 0xF0);
    std::uint8_t deltas = 0;
    if (changed & COMPORT_MODEM_CD) deltas |= COMPORT_MODEM_CD_CHANGED;
    if (changed & COMPORT_MODEM_DSR) deltas |= COMPORT_MODEM_DSR_CHANGED;
    if (changed & COMPORT_MODEM_CTS) deltas |= COMPORT_MODEM_CTS_CHANGED;
    if ((before & COMPORT_MODEM_RI) && !(lines & COMPORT_MODEM_RI)) deltas |= COMPORT_MODEM_RI_ENDED;
    return deltas;
}

// Carries out a command that needs the line (which the server has). The answer's length.
std::int32_t run_on_line(ComPortServer *server, const ComPortRequest &request, std::uint8_t *out,
                         std::int32_t size) {
    switch (request.command) {
    case COMPORT_SET_BAUDRATE: {
        std::uint32_t value = 0;
        if (line_setting(server, request, &value) != 0) return 0;
        // Network byte order.
        const std::uint8_t bytes[4] = {
            static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
        return com_port_message(COMPORT_SERVER + COMPORT_SET_BAUDRATE, bytes, 4, out, size);
    }
    case COMPORT_SET_DATASIZE:
    case COMPORT_SET_PARITY:
    case COMPORT_SET_STOPSIZE: {
        std::uint32_t value = 0;
        if (line_setting(server, request, &value) != 0) return 0;
        return answer_byte(request.command, static_cast<std::uint8_t>(value), out, size);
    }
    case COMPORT_SET_CONTROL: {
        std::uint8_t answer = 0;
        if (control(server, static_cast<std::uint8_t>(request.value), &answer) != 0) return 0;
        return answer_byte(request.command, answer, out, size);
    }
    case COMPORT_NOTIFY_LINESTATE: {
        // A client's look: the errors under its mask, none being an answer too.
        std::uint8_t errors = 0;
        if (server->ops->line_state(server->line, &errors) != 0) return 0;
        return answer_byte(request.command,
                           static_cast<std::uint8_t>(errors & server->line_mask.load()), out, size);
    }
    case COMPORT_NOTIFY_MODEMSTATE: {
        std::uint8_t lines = 0;
        if (server->ops->modem_state(server->line, &lines) != 0) return 0;
        return answer_byte(request.command,
                           static_cast<std::uint8_t>(lines & server->modem_mask.load()), out, size);
    }
    case COMPORT_PURGE_DATA: {
        std::uint8_t which = static_cast<std::uint8_t>(request.value);
        if (which < 1 || which > 3) return 0;
        if (server->ops->purge(server->line, which) != 0) return 0;
        // What the gateway read from the equipment and holds for a suspended client goes too.
        if (which & COMPORT_PURGE_FROM_EQUIPMENT) server->input_purges.fetch_add(1);
        return answer_byte(request.command, which, out, size);
    }
    default: return 0;
    }
}

}  // namespace

void com_port_server_init(ComPortServer *server, const char *signature) {
    std::size_t length = 0;
    while (signature[length] != '\0' && length + 1 < sizeof server->signature) ++length;
    std::memcpy(server->signature, signature, length);
    std::memset(server->signature + length, 0, sizeof server->signature - length);
    server->agreed.store(0);
    server->ops = nullptr;
    server->line = nullptr;
    server->modem_mask.store(COMPORT_MODEM_MASK_FIRST);
    server->line_mask.store(COMPORT_LINE_MASK_FIRST);
    server->suspended.store(0);
    server->input_purges.store(0);
    server->modem_known = 0;
    server->last_modem = 0;
    std::memset(server->pending, 0, sizeof server->pending);
    server->pending_count = 0;
}

int com_port_parse(const std::uint8_t *parameters, std::int32_t length, ComPortRequest *request) {
    *request = ComPortRequest{};
    if (length < 1 || parameters[0] > COMPORT_PURGE_DATA) return -1;
    request->command = parameters[0];
    const CommandShape &shape = COMMAND_SHAPES[request->command];
    if (shape.value_size < 0) {
        request->text_length = length - 1;
        return 0;
    }
    if (length - 1 < shape.value_size) return -1;
    for (std::int32_t i = 0; i < shape.value_size; ++i) {
        request->value = (request->value << 8) | parameters[1 + i];
    }
    return 0;
}

std::int32_t com_port_message(std::uint8_t code, const std::uint8_t *value, std::int32_t length,
                              std::uint8_t *out, std::int32_t size) {
    std::int32_t used = 0;
    auto put = [&](std::uint8_t byte) {
        if (used < size) out[used] = byte;
        ++used;
    };
    put(TELNET_IAC);
    put(TELNET_SB);
    put(TELOPT_COM_PORT);
    put(code);
    for (std::int32_t i = 0; i < length; ++i) {
        put(value[i]);
        if (value[i] == TELNET_IAC) put(TELNET_IAC);  // RFC 854: a data 255 is doubled
    }
    put(TELNET_IAC);
    put(TELNET_SE);
    return used <= size ? used : -1;
}

std::int32_t com_port_serve(ComPortServer *server, const std::uint8_t *parameters,
                            std::int32_t length, std::uint8_t *out, std::int32_t size) {
    ComPortRequest request;
    if (com_port_parse(parameters, length, &request) != 0) return 0;
    switch (request.command) {
    case COMPORT_SIGNATURE: {
        // A client telling its own signature gets no answer; an empty one asks for ours.
        if (request.text_length != 0) return 0;
        std::int32_t text = 0;
        while (text < COMPORT_SIGNATURE_SIZE && server->signature[text] != '\0') ++text;
        return com_port_message(COMPORT_SERVER + COMPORT_SIGNATURE,
                                reinterpret_cast<const std::uint8_t *>(server->signature), text,
                                out, size);
    }
    case COMPORT_FLOWCONTROL_SUSPEND: server->suspended.store(1); return 0;
    case COMPORT_FLOWCONTROL_RESUME: server->suspended.store(0); return 0;
    case COMPORT_SET_LINESTATE_MASK:
        server->line_mask.store(static_cast<std::int32_t>(request.value));
        return answer_byte(request.command, static_cast<std::uint8_t>(request.value), out, size);
    case COMPORT_SET_MODEMSTATE_MASK:
        server->modem_mask.store(static_cast<std::int32_t>(request.value));
        return answer_byte(request.command, static_cast<std::uint8_t>(request.value), out, size);
    default: break;
    }
    if (server->ops == nullptr) {
        if (server->pending_count < COMPORT_PENDING_MAX) {
            server->pending[server->pending_count++] = request;
        }
        return 0;
    }
    return run_on_line(server, request, out, size);
}

std::int32_t com_port_attach(ComPortServer *server, const ComPortLineOps *ops, void *line,
                             std::uint8_t *out, std::int32_t size) {
    server->ops = ops;
    server->line = line;
    // A caller that never agreed to the option is told nothing of the line.
    if (server->agreed.load() == 0) return 0;
    std::int32_t used = 0;
    for (std::int32_t i = 0; i < server->pending_count; ++i) {
        std::int32_t length = run_on_line(server, server->pending[i], out + used, size - used);
        if (length > 0) used += length;
    }
    server->pending_count = 0;
    std::uint8_t lines = 0;
    if (ops->modem_state(line, &lines) == 0) {
        server->modem_known = 1;
        server->last_modem = lines;
        std::int32_t mask = server->modem_mask.load();
        if (mask != 0) {
            std::int32_t length = answer_byte(COMPORT_NOTIFY_MODEMSTATE,
                                              static_cast<std::uint8_t>(lines & mask), out + used,
                                              size - used);
            if (length > 0) used += length;
        }
    }
    return used;
}

std::int32_t com_port_notice(ComPortServer *server, std::uint8_t *out, std::int32_t size) {
    if (server->ops == nullptr || server->agreed.load() == 0 || server->suspended.load() != 0) {
        return 0;
    }
    std::int32_t used = 0;
    std::int32_t modem_mask = server->modem_mask.load();
    std::uint8_t lines = 0;
    if (modem_mask != 0 && server->ops->modem_state(server->line, &lines) == 0) {
        std::uint8_t before = server->modem_known != 0 ? server->last_modem : lines;
        std::uint8_t deltas = modem_changes(lines, before);
        // A line counts as under the mask by its own bit or its change bit.
        std::uint8_t changed = static_cast<std::uint8_t>(((lines ^ before) & 0xF0) | deltas);
        server->modem_known = 1;
        server->last_modem = lines;
        if ((changed & modem_mask) != 0) {
            std::int32_t length =
                answer_byte(COMPORT_NOTIFY_MODEMSTATE,
                            static_cast<std::uint8_t>((lines | deltas) & modem_mask), out, size);
            if (length > 0) used += length;
        }
    }
    std::int32_t line_mask = server->line_mask.load();
    std::uint8_t errors = 0;
    if (line_mask != 0 && server->ops->line_state(server->line, &errors) == 0 &&
        (errors & line_mask) != 0) {
        std::int32_t length = answer_byte(COMPORT_NOTIFY_LINESTATE,
                                          static_cast<std::uint8_t>(errors & line_mask),
                                          out + used, size - used);
        if (length > 0) used += length;
    }
    return used;
}

int com_port_watches_lines(const ComPortServer *server) {
    return server->ops != nullptr && server->agreed.load() != 0 &&
           (server->modem_mask.load() != 0 || server->line_mask.load() != 0);
}
