// The telnet COM-PORT-OPTION (RFC 2217), the access server's side: a client's command read out of
// its subnegotiation, carried out on the line through the operations the gateway hands over once
// the call has its port, and answered; the notices of the input lines under the client's mask.
// Pure: it writes the bytes for the wire into the caller's buffer and never touches a serial
// port or a socket itself.
#pragma once

#include <atomic>
#include <cstdint>

constexpr std::uint8_t TELOPT_COM_PORT = 44;

// The client's commands; the server's answers and notices carry the code plus COMPORT_SERVER.
constexpr std::uint8_t COMPORT_SIGNATURE = 0;
constexpr std::uint8_t COMPORT_SET_BAUDRATE = 1;
constexpr std::uint8_t COMPORT_SET_DATASIZE = 2;
constexpr std::uint8_t COMPORT_SET_PARITY = 3;
constexpr std::uint8_t COMPORT_SET_STOPSIZE = 4;
constexpr std::uint8_t COMPORT_SET_CONTROL = 5;
constexpr std::uint8_t COMPORT_NOTIFY_LINESTATE = 6;
constexpr std::uint8_t COMPORT_NOTIFY_MODEMSTATE = 7;
constexpr std::uint8_t COMPORT_FLOWCONTROL_SUSPEND = 8;
constexpr std::uint8_t COMPORT_FLOWCONTROL_RESUME = 9;
constexpr std::uint8_t COMPORT_SET_LINESTATE_MASK = 10;
constexpr std::uint8_t COMPORT_SET_MODEMSTATE_MASK = 11;
constexpr std::uint8_t COMPORT_PURGE_DATA = 12;
constexpr std::uint8_t COMPORT_SERVER = 100;

// SET-PARITY and SET-STOPSIZE values (0 asks for the one in force).
constexpr std::uint8_t COMPORT_PARITY_NONE = 1;
constexpr std::uint8_t COMPORT_PARITY_ODD = 2;
constexpr std::uint8_t COMPORT_PARITY_EVEN = 3;
constexpr std::uint8_t COMPORT_PARITY_MARK = 4;
constexpr std::uint8_t COMPORT_PARITY_SPACE = 5;
constexpr std::uint8_t COMPORT_STOP_1 = 1;
constexpr std::uint8_t COMPORT_STOP_2 = 2;
constexpr std::uint8_t COMPORT_STOP_1_5 = 3;

// SET-CONTROL values. Flow control 1-3 is "outbound/both": it sets the inbound direction too.
constexpr std::uint8_t COMPORT_FLOW_QUERY = 0;
constexpr std::uint8_t COMPORT_FLOW_NONE = 1;
constexpr std::uint8_t COMPORT_FLOW_XONXOFF = 2;
constexpr std::uint8_t COMPORT_FLOW_HARDWARE = 3;
constexpr std::uint8_t COMPORT_BREAK_QUERY = 4;
constexpr std::uint8_t COMPORT_BREAK_ON = 5;
constexpr std::uint8_t COMPORT_BREAK_OFF = 6;
constexpr std::uint8_t COMPORT_DTR_QUERY = 7;
constexpr std::uint8_t COMPORT_DTR_ON = 8;
constexpr std::uint8_t COMPORT_DTR_OFF = 9;
constexpr std::uint8_t COMPORT_RTS_QUERY = 10;
constexpr std::uint8_t COMPORT_RTS_ON = 11;
constexpr std::uint8_t COMPORT_RTS_OFF = 12;
constexpr std::uint8_t COMPORT_FLOW_IN_QUERY = 13;
constexpr std::uint8_t COMPORT_FLOW_IN_NONE = 14;
constexpr std::uint8_t COMPORT_FLOW_IN_XONXOFF = 15;
constexpr std::uint8_t COMPORT_FLOW_IN_HARDWARE = 16;
constexpr std::uint8_t COMPORT_FLOW_DCD = 17;
constexpr std::uint8_t COMPORT_FLOW_IN_DTR = 18;
constexpr std::uint8_t COMPORT_FLOW_DSR = 19;

// NOTIFY-MODEMSTATE bits: the input lines, and what changed since the last notice.
constexpr std::uint8_t COMPORT_MODEM_CD = 0x80;
constexpr std::uint8_t COMPORT_MODEM_RI = 0x40;
constexpr std::uint8_t COMPORT_MODEM_DSR = 0x20;
constexpr std::uint8_t COMPORT_MODEM_CTS = 0x10;
constexpr std::uint8_t COMPORT_MODEM_CD_CHANGED = 0x08;
constexpr std::uint8_t COMPORT_MODEM_RI_ENDED = 0x04;  // the ring's trailing edge
constexpr std::uint8_t COMPORT_MODEM_DSR_CHANGED = 0x02;
constexpr std::uint8_t COMPORT_MODEM_CTS_CHANGED = 0x01;
// NOTIFY-LINESTATE bits that a device can report.
constexpr std::uint8_t COMPORT_LINE_BREAK = 0x10;
constexpr std::uint8_t COMPORT_LINE_FRAMING = 0x08;
constexpr std::uint8_t COMPORT_LINE_PARITY = 0x04;
constexpr std::uint8_t COMPORT_LINE_OVERRUN = 0x02;
// PURGE-DATA values (bits).
constexpr std::uint8_t COMPORT_PURGE_FROM_EQUIPMENT = 1;  // what the equipment sent, not yet out
constexpr std::uint8_t COMPORT_PURGE_TO_EQUIPMENT = 2;    // what waits to go to the equipment

constexpr std::uint8_t COMPORT_MODEM_MASK_FIRST = 255;
constexpr std::uint8_t COMPORT_LINE_MASK_FIRST = 0;

// The longest message this side writes: a signature of COMPORT_SIGNATURE_SIZE - 1 bytes, every
// one of them 255 and doubled, in IAC SB 44 code ... IAC SE.
constexpr std::int32_t COMPORT_SIGNATURE_SIZE = 64;
constexpr std::int32_t COMPORT_MESSAGE_MAX = 4 + 2 * (COMPORT_SIGNATURE_SIZE - 1) + 2;
// Commands that need the line and came before the call had it are kept, this many at most.
constexpr std::int32_t COMPORT_PENDING_MAX = 16;

// The line as the option speaks of it.
struct ComPortLine {
    std::uint32_t baud_rate;  // bits per second
    std::uint8_t data_size;   // bits per character, 5-8
    std::uint8_t parity;      // COMPORT_PARITY_*
    std::uint8_t stop_size;   // COMPORT_STOP_*
    std::uint8_t flow_out;    // COMPORT_FLOW_NONE, _XONXOFF, _HARDWARE, _DCD or _DSR
    std::uint8_t flow_in;     // COMPORT_FLOW_IN_NONE, _IN_XONXOFF, _IN_HARDWARE or _IN_DTR
    std::uint8_t break_on;    // 1 while the line is held in the break state
    std::uint8_t dtr_on;      // 1 while DTR is raised
    std::uint8_t rts_on;      // 1 while RTS is raised
};

// The line of the call, as the gateway gives it. `line` is the gateway's own; every operation
// answers 0, or -1 when the device cannot be reached at all.
struct ComPortLineOps {
    // The line as it is now.
    int (*get)(void *line, ComPortLine *now);
    // Makes the line as `wanted` says where it differs from now (what the device refuses it keeps
    // as it was), then reads back into *now what is in force.
    int (*set)(void *line, const ComPortLine *wanted, ComPortLine *now);
    // Drops what waits in the buffers: COMPORT_PURGE_* bits.
    int (*purge)(void *line, std::uint8_t which);
    // The input lines: COMPORT_MODEM_CD, _RI, _DSR, _CTS.
    int (*modem_state)(void *line, std::uint8_t *state);
    // The line errors that the device reported since the last look: COMPORT_LINE_* bits.
    int (*line_state)(void *line, std::uint8_t *errors);
};

// One command of the client.
struct ComPortRequest {
    std::uint8_t command;      // COMPORT_SIGNATURE to COMPORT_PURGE_DATA
    std::uint32_t value;       // SET-BAUDRATE: its four bytes; SIGNATURE: none; else its byte
    std::int32_t text_length;  // SIGNATURE: the length of the client's text (0: a request)
};

// The server's side of one call. The parser's thread (the connection thread until the relay, then
// the relay's reader) serves the commands; the relay's loop looks at the lines (com_port_notice);
// the fields they share are atomic.
struct ComPortServer {
    char signature[COMPORT_SIGNATURE_SIZE];  // what a SIGNATURE request is answered with
    std::atomic<std::int32_t> agreed;        // the client agreed to the option: it is a program;
                                             // the parser writes, the connection thread reads
    const ComPortLineOps *ops;               // null until the call has its line
    void *line;
    std::atomic<std::int32_t> modem_mask;    // the parser writes; the relay's loop reads
    std::atomic<std::int32_t> line_mask;     // the same
    std::atomic<std::int32_t> suspended;     // FLOWCONTROL-SUSPEND until RESUME; the parser
                                             // writes, the sender of the equipment's data reads
    std::atomic<std::uint32_t> input_purges;  // purges of what the equipment sent, so far; the same
    std::int32_t modem_known;  // last_modem holds the lines of the last notice (relay's loop)
    std::uint8_t last_modem;
    ComPortRequest pending[COMPORT_PENDING_MAX];  // commands kept until the line comes (parser)
    std::int32_t pending_count;
};

// Clears the server (masks as RFC 2217 starts them, no line) and keeps the signature (cut to fit).
void com_port_server_init(ComPortServer *server, const char *signature);

// Reads the command in a subnegotiation's parameters (the bytes after the option code, doubled
// 255s already undone). Bytes past a command's value are ignored. 0, or -1 when it is no command
// of the option (an unknown code, a value missing).
[[nodiscard]] int com_port_parse(const std::uint8_t *parameters, std::int32_t length,
                                 ComPortRequest *request);

// Writes IAC SB 44 code value IAC SE into out, every 255 of the value doubled. The length, or -1
// when it does not fit in size bytes (nothing meaningful is written then).
std::int32_t com_port_message(std::uint8_t code, const std::uint8_t *value, std::int32_t length,
                              std::uint8_t *out, std::int32_t size);

// Serves one subnegotiation of the option: the command is carried out on the line and its answer
// written into out (size: COMPORT_MESSAGE_MAX at least). Before the call has its line, a command
// that needs it is kept (up to COMPORT_PENDING_MAX; one more is dropped unanswered) and answered at
// com_port_attach. Masks, SUSPEND, RESUME and SIGNATURE take effect at once. The answer's length,
// 0 when there is none. The parser's thread.
std::int32_t com_port_serve(ComPortServer *server, const std::uint8_t *parameters,
                            std::int32_t length, std::uint8_t *out, std::int32_t size);

// Gives the server the call's line: the commands kept until now are carried out in order, and
// their answers and a first NOTIFY-MODEMSTATE (the lines under the mask, when the mask is not 0)
// written into out (size: COMPORT_PENDING_MAX + 1 times COMPORT_MESSAGE_MAX at least). The
// length written. The connection thread, before the relay.
std::int32_t com_port_attach(ComPortServer *server, const ComPortLineOps *ops, void *line,
                             std::uint8_t *out, std::int32_t size);

// Looks at the line: a NOTIFY-MODEMSTATE when an input line under the mask changed since the last
// notice (its state and the change bits, under the mask), a NOTIFY-LINESTATE when the device
// reported errors under the line-state mask. Nothing while the client has suspended the flow (the
// change is told after its RESUME). The length written into out (size: 2 * COMPORT_MESSAGE_MAX).
// The relay's loop.
std::int32_t com_port_notice(ComPortServer *server, std::uint8_t *out, std::int32_t size);

// Non-zero when the relay is to watch the lines for this server: it has its line and a mask that
// is not 0. Any thread.
int com_port_watches_lines(const ComPortServer *server);
