// The COM-PORT-OPTION's server on a scripted line: the bytes of each answer and notice, what the
// line was told, values the line refuses, masks, the commands kept until the call has its line,
// and subnegotiations that are short, unknown or cut.
#include <gtest/gtest.h>

#include <vector>

#include "telnet/com_port.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A line that takes 300-115200 bit/s, 7 or 8 data bits, no/odd/even parity and 1 or 2 stop bits,
// and keeps the rest as it was; its input lines and errors are set by the test.
struct ScriptedLine {
    ComPortLine now{9600, 8, COMPORT_PARITY_NONE, COMPORT_STOP_1, COMPORT_FLOW_NONE,
                    COMPORT_FLOW_IN_NONE, 0, 1, 1};
    std::uint8_t modem = 0;
    std::uint8_t errors = 0;
    std::vector<std::uint8_t> purges;
    int sets = 0;
    bool unreachable = false;
};

ScriptedLine *scripted(void *line) { return static_cast<ScriptedLine *>(line); }

int line_get(void *line, ComPortLine *now) {
    if (scripted(line)->unreachable) return -1;
    *now = scripted(line)->now;
    return 0;
}

int line_set(void *line, const ComPortLine *wanted, ComPortLine *now) {
    ScriptedLine *s = scripted(line);
    if (s->unreachable) return -1;
    s->sets += 1;
    ComPortLine taken = *wanted;
    if (taken.baud_rate < 300 || taken.baud_rate > 115200) taken.baud_rate = s->now.baud_rate;
    if (taken.data_size < 7 || taken.data_size > 8) taken.data_size = s->now.data_size;
    if (taken.parity < COMPORT_PARITY_NONE || taken.parity > COMPORT_PARITY_EVEN) {
        taken.parity = s->now.parity;
    }
    if (taken.stop_size != COMPORT_STOP_1 && taken.stop_size != COMPORT_STOP_2) {
        taken.stop_size = s->now.stop_size;
    }
    s->now = taken;
    *now = taken;
    return 0;
}

int line_purge(void *line, std::uint8_t which) {
    if (scripted(line)->unreachable) return -1;
    scripted(line)->purges.push_back(which);
    return 0;
}

int line_modem(void *line, std::uint8_t *state) {
    if (scripted(line)->unreachable) return -1;
    *state = scripted(line)->modem;
    return 0;
}

int line_errors(void *line, std::uint8_t *errors) {
    if (scripted(line)->unreachable) return -1;
    *errors = scripted(line)->errors;
    scripted(line)->errors = 0;
    return 0;
}

constexpr ComPortLineOps SCRIPTED_OPS = {line_get, line_set, line_purge, line_modem, line_errors};

Bytes message(std::uint8_t code, Bytes value) {
    Bytes out = {255, 250, 44, code};
    for (std::uint8_t byte : value) {
        out.push_back(byte);
        if (byte == 255) out.push_back(255);
    }
    out.push_back(255);
    out.push_back(240);
    return out;
}

// A server whose client agreed, with the scripted line attached (the first notice dropped).
struct Served {
    ComPortServer server;
    ScriptedLine line;
    Served() {
        com_port_server_init(&server, "NORVEX COM1");
        server.agreed.store(1);
        std::uint8_t out[(COMPORT_PENDING_MAX + 1) * COMPORT_MESSAGE_MAX];
        (void)com_port_attach(&server, &SCRIPTED_OPS, &line, out, sizeof out);
    }
    Bytes serve(Bytes parameters) {
        std::uint8_t out[COMPORT_MESSAGE_MAX];
        std::int32_t length = com_port_serve(&server, parameters.data(),
                                             static_cast<std::int32_t>(parameters.size()), out,
                                             sizeof out);
        return Bytes(out, out + length);
    }
    Bytes notice() {
        std::uint8_t out[2 * COMPORT_MESSAGE_MAX];
        std::int32_t length = com_port_notice(&server, out, sizeof out);
        return Bytes(out, out + length);
    }
};

TEST(ComPortParse, EachCommandTakesItsValueAndShortOrUnknownOnesAreNone) {
    struct Case {
        Bytes parameters;
        int result;
        std::uint8_t command;
        std::uint32_t value;
    };
    const Case cases[] = {
        {{1, 0, 0, 0xE1, 0}, 0, 1, 57600},
        {{1, 0, 0, 0xE1, 0, 9, 9}, 0, 1, 57600},  // bytes past the value are ignored
        {{1, 0, 0, 0xE1}, -1, 0, 0},
        {{2, 7}, 0, 2, 7},
        {{3}, -1, 0, 0},
        {{4, 2}, 0, 4, 2},
        {{5, 8}, 0, 5, 8},
        {{6}, 0, 6, 0},
        {{7}, 0, 7, 0},
        {{8}, 0, 8, 0},
        {{9}, 0, 9, 0},
        {{10, 0x1E}, 0, 10, 0x1E},
        {{11}, -1, 0, 0},
        {{12, 3}, 0, 12, 3},
        {{13, 1}, -1, 0, 0},
        {{101, 0, 0, 0, 0}, -1, 0, 0},  // the server's own codes are no command of a client
        {{}, -1, 0, 0},
    };
    for (const Case &c : cases) {
        ComPortRequest request;
        EXPECT_EQ(com_port_parse(c.parameters.data(), static_cast<std::int32_t>(c.parameters.size()),
                                 &request),
                  c.result)
            << int(c.parameters.empty() ? -1 : c.parameters[0]);
        if (c.result == 0) {
            EXPECT_EQ(request.command, c.command);
            EXPECT_EQ(request.value, c.value);
        }
    }
    ComPortRequest request;
    const Bytes signature = {0, 'a', 'b', 'c'};
    ASSERT_EQ(com_port_parse(signature.data(), 4, &request), 0);
    EXPECT_EQ(request.text_length, 3);
}

TEST(ComPortServe, SettingsAreAnsweredWithWhatTheLineTookAndQueriesWithTheCurrentOnes) {
    Served s;
    EXPECT_EQ(s.serve({1, 0, 0, 0xE1, 0}), message(101, {0, 0, 0xE1, 0}));
    EXPECT_EQ(s.line.now.baud_rate, 57600u);
    EXPECT_EQ(s.serve({1, 0, 0, 0, 0}), message(101, {0, 0, 0xE1, 0}));
    // 1 Mbit/s is beyond this line: the answer is the speed it kept.
    EXPECT_EQ(s.serve({1, 0, 0x0F, 0x42, 0x40}), message(101, {0, 0, 0xE1, 0}));
    // 65535 bit/s has 255s in its value: doubled on the wire.
    EXPECT_EQ(s.serve({1, 0, 0, 255, 255}), message(101, {0, 0, 255, 255}));
    EXPECT_EQ(s.serve({2, 7}), message(102, {7}));
    EXPECT_EQ(s.serve({2, 5}), message(102, {7}));
    EXPECT_EQ(s.serve({2, 0}), message(102, {7}));
    EXPECT_EQ(s.serve({3, COMPORT_PARITY_EVEN}), message(103, {COMPORT_PARITY_EVEN}));
    EXPECT_EQ(s.serve({3, COMPORT_PARITY_MARK}), message(103, {COMPORT_PARITY_EVEN}));
    EXPECT_EQ(s.serve({3, 0}), message(103, {COMPORT_PARITY_EVEN}));
    EXPECT_EQ(s.serve({4, COMPORT_STOP_2}), message(104, {COMPORT_STOP_2}));
    EXPECT_EQ(s.serve({4, COMPORT_STOP_1_5}), message(104, {COMPORT_STOP_2}));
    EXPECT_EQ(s.serve({4, 0}), message(104, {COMPORT_STOP_2}));
    EXPECT_EQ(s.line.now.data_size, 7);
    EXPECT_EQ(s.line.now.parity, COMPORT_PARITY_EVEN);
    EXPECT_EQ(s.line.now.stop_size, COMPORT_STOP_2);

    // A line that cannot be reached answers nothing rather than a value it does not know.
    s.line.unreachable = true;
    EXPECT_EQ(s.serve({1, 0, 0, 0, 0}), Bytes());
    EXPECT_EQ(s.serve({5, COMPORT_DTR_ON}), Bytes());
    EXPECT_EQ(s.serve({12, 3}), Bytes());
}

TEST(ComPortServe, ControlSetsFlowBreakDtrAndRtsAndAnswersTheirState) {
    Served s;
    struct Case {
        std::uint8_t value;
        std::uint8_t answer;
    };
    const Case cases[] = {
        {COMPORT_FLOW_HARDWARE, COMPORT_FLOW_HARDWARE}, {COMPORT_FLOW_QUERY, COMPORT_FLOW_HARDWARE},
        {COMPORT_FLOW_IN_QUERY, COMPORT_FLOW_IN_HARDWARE},  // "both" set the inbound half too
        {COMPORT_FLOW_IN_NONE, COMPORT_FLOW_IN_NONE},       {COMPORT_FLOW_QUERY, COMPORT_FLOW_HARDWARE},
        {COMPORT_FLOW_XONXOFF, COMPORT_FLOW_XONXOFF},       {COMPORT_FLOW_IN_QUERY, COMPORT_FLOW_IN_XONXOFF},
        {COMPORT_FLOW_NONE, COMPORT_FLOW_NONE},             {COMPORT_BREAK_QUERY, COMPORT_BREAK_OFF},
        {COMPORT_BREAK_ON, COMPORT_BREAK_ON},               {COMPORT_BREAK_QUERY, COMPORT_BREAK_ON},
        {COMPORT_BREAK_OFF, COMPORT_BREAK_OFF},             {COMPORT_DTR_QUERY, COMPORT_DTR_ON},
        {COMPORT_DTR_OFF, COMPORT_DTR_OFF},                 {COMPORT_DTR_QUERY, COMPORT_DTR_OFF},
        {COMPORT_DTR_ON, COMPORT_DTR_ON},                   {COMPORT_RTS_OFF, COMPORT_RTS_OFF},
        {COMPORT_RTS_QUERY, COMPORT_RTS_OFF},               {COMPORT_RTS_ON, COMPORT_RTS_ON},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(s.serve({5, c.value}), message(105, {c.answer})) << int(c.value);
    }
    EXPECT_EQ(s.line.now.flow_out, COMPORT_FLOW_NONE);
    EXPECT_EQ(s.line.now.flow_in, COMPORT_FLOW_IN_NONE);
    EXPECT_EQ(s.line.now.break_on, 0);
    EXPECT_EQ(s.line.now.dtr_on, 1);
    EXPECT_EQ(s.line.now.rts_on, 1);
    // Values the option does not define change nothing and are not answered.
    int sets = s.line.sets;
    for (std::uint8_t value : {20, 99, 255}) EXPECT_EQ(s.serve({5, value}), Bytes()) << int(value);
    EXPECT_EQ(s.line.sets, sets);
}

TEST(ComPortServe, PurgeMasksSignatureAndTheClientsLooks) {
    Served s;
    EXPECT_EQ(s.serve({12, 1}), message(112, {1}));
    EXPECT_EQ(s.serve({12, 2}), message(112, {2}));
    EXPECT_EQ(s.serve({12, 3}), message(112, {3}));
    EXPECT_EQ(s.serve({12, 0}), Bytes());
    EXPECT_EQ(s.serve({12, 4}), Bytes());
    EXPECT_EQ(s.line.purges, (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(s.server.input_purges.load(), 2u);  // the purges of the equipment's side

    EXPECT_EQ(s.serve({11, 0x30}), message(111, {0x30}));
    EXPECT_EQ(s.serve({10, 0x1E}), message(110, {0x1E}));
    s.line.modem = COMPORT_MODEM_CD | COMPORT_MODEM_DSR | COMPORT_MODEM_CTS;
    EXPECT_EQ(s.serve({7}), message(107, {COMPORT_MODEM_DSR | COMPORT_MODEM_CTS}));
    s.line.errors = COMPORT_LINE_PARITY | 0x01;
    EXPECT_EQ(s.serve({6}), message(106, {COMPORT_LINE_PARITY}));

    EXPECT_EQ(s.serve({0}), message(100, Bytes({'N', 'O', 'R', 'V', 'E', 'X', ' ', 'C', 'O', 'M', '1'})));
    EXPECT_EQ(s.serve({0, 'p', 'y'}), Bytes());  // a client telling its own name

    ComPortServer long_name;
    std::string name(200, '\xFF');
    com_port_server_init(&long_name, name.c_str());
    std::uint8_t out[COMPORT_MESSAGE_MAX];
    const std::uint8_t ask = 0;
    std::int32_t length = com_port_serve(&long_name, &ask, 1, out, sizeof out);
    EXPECT_EQ(length, COMPORT_MESSAGE_MAX);  // cut to its size, every 255 doubled
}

TEST(ComPortNotice, InputLineChangesAreToldUnderTheMaskAndHeldWhileSuspended) {
    Served s;
    EXPECT_EQ(s.notice(), Bytes());  // nothing changed since the first notice
    s.line.modem = COMPORT_MODEM_CTS;
    EXPECT_EQ(s.notice(), message(107, {COMPORT_MODEM_CTS | COMPORT_MODEM_CTS_CHANGED}));
    EXPECT_EQ(s.notice(), Bytes());
    s.line.modem = COMPORT_MODEM_CTS | COMPORT_MODEM_RI;
    EXPECT_EQ(s.notice(), message(107, {COMPORT_MODEM_CTS | COMPORT_MODEM_RI}));
    s.line.modem = COMPORT_MODEM_CTS;  // the ring's end is its own change bit
    EXPECT_EQ(s.notice(), message(107, {COMPORT_MODEM_CTS | COMPORT_MODEM_RI_ENDED}));

    // Under a mask of CD alone, a DSR change is not told; a CD change is, with its bits only.
    EXPECT_EQ(s.serve({11, COMPORT_MODEM_CD | COMPORT_MODEM_CD_CHANGED}),
              message(111, {COMPORT_MODEM_CD | COMPORT_MODEM_CD_CHANGED}));
    s.line.modem = COMPORT_MODEM_CTS | COMPORT_MODEM_DSR;
    EXPECT_EQ(s.notice(), Bytes());
    s.line.modem = COMPORT_MODEM_CTS | COMPORT_MODEM_DSR | COMPORT_MODEM_CD;
    EXPECT_EQ(s.notice(), message(107, {COMPORT_MODEM_CD | COMPORT_MODEM_CD_CHANGED}));

    // Suspended: nothing; resumed: the change made meanwhile.
    EXPECT_EQ(s.serve({8}), Bytes());
    EXPECT_EQ(s.server.suspended.load(), 1);
    s.line.modem = COMPORT_MODEM_CTS | COMPORT_MODEM_DSR;
    EXPECT_EQ(s.notice(), Bytes());
    EXPECT_EQ(s.serve({9}), Bytes());
    EXPECT_EQ(s.server.suspended.load(), 0);
    EXPECT_EQ(s.notice(), message(107, {COMPORT_MODEM_CD_CHANGED}));

    // Line errors are told under their own mask (0 at first: none).
    s.line.errors = COMPORT_LINE_FRAMING;
    EXPECT_EQ(s.notice(), Bytes());
    (void)s.serve({10, COMPORT_LINE_FRAMING | COMPORT_LINE_BREAK});
    s.line.errors = COMPORT_LINE_FRAMING | COMPORT_LINE_OVERRUN;
    EXPECT_EQ(s.notice(), message(106, {COMPORT_LINE_FRAMING}));

    (void)s.serve({11, 0});
    (void)s.serve({10, 0});
    EXPECT_EQ(com_port_watches_lines(&s.server), 0);
}

TEST(ComPortAttach, CommandsBeforeTheLineAreAnsweredInOrderThenTheLinesUnderTheFirstMask) {
    ComPortServer server;
    com_port_server_init(&server, "X");
    server.agreed.store(1);
    std::uint8_t out[(COMPORT_PENDING_MAX + 1) * COMPORT_MESSAGE_MAX];
    const Bytes speed = {1, 0, 0, 0x4B, 0};
    const Bytes dtr = {5, COMPORT_DTR_OFF};
    EXPECT_EQ(com_port_serve(&server, speed.data(), 5, out, COMPORT_MESSAGE_MAX), 0);
    EXPECT_EQ(com_port_serve(&server, dtr.data(), 2, out, COMPORT_MESSAGE_MAX), 0);
    // More than can be kept: the ones past the limit are dropped unanswered.
    for (int i = 2; i < COMPORT_PENDING_MAX + 3; ++i) {
        EXPECT_EQ(com_port_serve(&server, dtr.data(), 2, out, COMPORT_MESSAGE_MAX), 0);
    }
    EXPECT_EQ(com_port_watches_lines(&server), 0);
    ScriptedLine line;
    line.modem = COMPORT_MODEM_DSR;
    std::int32_t length = com_port_attach(&server, &SCRIPTED_OPS, &line, out, sizeof out);
    Bytes expected = message(101, {0, 0, 0x4B, 0});
    for (int i = 1; i < COMPORT_PENDING_MAX; ++i) {
        Bytes off = message(105, {COMPORT_DTR_OFF});
        expected.insert(expected.end(), off.begin(), off.end());
    }
    Bytes lines = message(107, {COMPORT_MODEM_DSR});  // mask 255 at first
    expected.insert(expected.end(), lines.begin(), lines.end());
    EXPECT_EQ(Bytes(out, out + length), expected);
    EXPECT_EQ(line.now.baud_rate, 19200u);
    EXPECT_EQ(line.now.dtr_on, 0);
    EXPECT_NE(com_port_watches_lines(&server), 0);

    // A caller that never agreed is told nothing and its line is left alone.
    ComPortServer refused;
    com_port_server_init(&refused, "X");
    EXPECT_EQ(com_port_serve(&refused, speed.data(), 5, out, COMPORT_MESSAGE_MAX), 0);
    ScriptedLine untouched;
    EXPECT_EQ(com_port_attach(&refused, &SCRIPTED_OPS, &untouched, out, sizeof out), 0);
    EXPECT_EQ(untouched.sets, 0);
    EXPECT_EQ(com_port_watches_lines(&refused), 0);
}

TEST(ComPortServe, EveryCodeAndLengthStaysInsideTheAnswerBuffer) {
    Served s;
    for (int code = 0; code < 256; ++code) {
        for (int length = 1; length <= 6; ++length) {
            for (std::uint8_t fill : {0, 1, 3, 255}) {
                Bytes parameters(static_cast<std::size_t>(length), fill);
                parameters[0] = static_cast<std::uint8_t>(code);
                std::uint8_t out[COMPORT_MESSAGE_MAX + 8];
                std::fill(std::begin(out), std::end(out), 0xA5);
                std::int32_t written = com_port_serve(&s.server, parameters.data(), length, out,
                                                      COMPORT_MESSAGE_MAX);
                ASSERT_GE(written, 0);
                ASSERT_LE(written, COMPORT_MESSAGE_MAX);
                for (int i = COMPORT_MESSAGE_MAX; i < COMPORT_MESSAGE_MAX + 8; ++i) {
                    ASSERT_EQ(out[i], 0xA5) << code << " " << length;
                }
                if (written > 0) {
                    ASSERT_EQ(out[0], 255);
                    ASSERT_EQ(out[2], 44);
                    ASSERT_EQ(out[3], 100 + code);
                }
                s.server.suspended.store(0);
            }
        }
    }
    // A message that does not fit is no message.
    std::uint8_t small[7];
    const std::uint8_t value = 7;
    EXPECT_EQ(com_port_message(102, &value, 1, small, 6), -1);
    EXPECT_EQ(com_port_message(102, &value, 1, small, 7), 7);
}

}  // namespace
