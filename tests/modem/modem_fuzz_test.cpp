// Random input for the command line: any bytes, cut anywhere, never crash it or make it touch
// memory outside the piece it was given or its 64-byte line; cut or whole, the equipment sees the
// same bytes; whatever came before, the emulator is back to a plain dialogue after the next CR and
// ATZ; and random command lines are echoed and answered by the rules.
#include "modem/modem.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "serial/serial.h"
#include "sim/sim_serial.h"
#include "support/settings_fixtures.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The emulator's command line on a simulated device, driven without the emulator thread: the test
// does what the loop would, handing over the bytes read.
struct Harness {
    SimSerial *sim = nullptr;
    std::unique_ptr<PortRecord> port{new PortRecord{}};
    ModemLine line{};

    explicit Harness(const char *name) {
        sim = sim_serial_create(name);
        EXPECT_NE(sim, nullptr);
        port->settings = make_port(name);
        port->settings.flow_control = 0;
        port->modem_baud_rate = port->settings.baud_rate;
        port->com_handle.store(serial_open(&port->settings));
        EXPECT_NE(port->com_handle.load(), COM_INVALID_HANDLE);
        EXPECT_EQ(modem_execute_command(port.get(), 'Z', -1), 0);
    }
    ~Harness() {
        serial_close(port->com_handle.exchange(COM_INVALID_HANDLE));
        sim_serial_destroy(sim);
    }
    // Hands the input over in pieces ending at the cuts. Each piece sits in a heap block of its
    // exact size, so that the address sanitizer sees any access past it.
    void feed(const Bytes &input, const std::vector<std::size_t> &cuts = {}) {
        std::size_t from = 0;
        for (std::size_t i = 0; i <= cuts.size(); ++i) {
            std::size_t to = i < cuts.size() ? cuts[i] : input.size();
            std::size_t length = to - from;
            std::unique_ptr<std::uint8_t[]> piece(new std::uint8_t[length == 0 ? 1 : length]);
            std::copy(input.begin() + from, input.begin() + to, piece.get());
            modem_receive(port.get(), &line, piece.get(), static_cast<std::uint32_t>(length));
            EXPECT_GE(line.length, 0);
            EXPECT_LE(line.length, MODEM_LINE_SIZE);
            from = to;
        }
    }
    void feed(const std::string &text) { feed(Bytes(text.begin(), text.end())); }
    // What the equipment got since the last call.
    std::string output() { return sim_take_received(sim); }
};

// Random bytes weighted towards what the command line reacts to.
Bytes random_input(std::mt19937 &random) {
    static const char interesting[] = "AaTt\r\r&\\0123456789EeQqVvXxZzFSsI  \b\n";
    std::size_t length = random() % 300;
    Bytes input(length);
    for (std::uint8_t &byte : input) {
        byte = random() % 4 == 0 ? static_cast<std::uint8_t>(random())
                                 : static_cast<std::uint8_t>(
                                       interesting[random() % (sizeof interesting - 1)]);
    }
    return input;
}

TEST(ModemFuzz, AnyInputCutAnywhereGivesTheSameBytesAndLeavesAWorkingModem) {
    Harness whole("SIMF1");
    Harness cut("SIMF2");
    std::mt19937 random(20240607);
    for (int round = 0; round < 3000; ++round) {
        SCOPED_TRACE(round);
        Bytes input = random_input(random);
        std::vector<std::size_t> cuts;
        std::size_t pieces = random() % 8;
        for (std::size_t i = 0; i < pieces && !input.empty(); ++i) {
            cuts.push_back(random() % (input.size() + 1));
        }
        std::sort(cuts.begin(), cuts.end());
        whole.feed(input);
        cut.feed(input, cuts);
        ASSERT_EQ(whole.output(), cut.output());
        ASSERT_EQ(whole.line.length, cut.line.length);

        for (Harness *harness : {&whole, &cut}) {
            // A CR ends whatever line is open; ATZ brings back the defaults. An A among the random
            // commands is acted on by the loop's next pass, which the test stands in for here.
            harness->feed("\r");
            harness->port->modem_answer.store(0);
            harness->feed("ATZ\r");
            harness->output();
            harness->feed("AT\r");
            ASSERT_EQ(harness->output(), "AT\r\nOK\r\n");
        }
    }
}

// Command lines of random bytes without a command that changes the echo or the results or writes
// a text: the bytes before AT and the printable bytes of the line (up to 64 with AT) are echoed,
// every other byte of the line is dropped, and the line ends with CR LF and OK.
TEST(ModemFuzz, RandomCommandLinesAreEchoedAndAnsweredByTheRules) {
    Harness modem("SIMF3");
    std::mt19937 random(7061);
    auto excluded = [](std::uint8_t byte) {
        if (byte == '\r' || byte == '\\') return true;
        if (byte < 32 || byte > 127) return false;
        int code = byte & ~0x20;
        return code == 'A' || code == 'E' || code == 'I' || code == 'Q' || code == 'V';
    };
    for (int round = 0; round < 3000; ++round) {
        SCOPED_TRACE(round);
        Bytes noise(random() % 20);
        for (std::uint8_t &byte : noise) {
            do {
                byte = static_cast<std::uint8_t>(random());
            } while (byte == 'A' || byte == 'a');
        }
        Bytes body(random() % 100);
        for (std::uint8_t &byte : body) {
            do {
                byte = random() % 3 == 0 ? static_cast<std::uint8_t>('0' + random() % 10)
                                         : static_cast<std::uint8_t>(random());
            } while (excluded(byte));
        }
        Bytes input = noise;
        input.push_back(random() % 2 ? 'A' : 'a');
        input.push_back(random() % 2 ? 'T' : 't');
        input.insert(input.end(), body.begin(), body.end());
        input.push_back('\r');

        std::string expected(noise.begin(), noise.end());
        expected += static_cast<char>(input[noise.size()]);
        expected += static_cast<char>(input[noise.size() + 1]);
        std::size_t kept = 2;
        for (std::uint8_t byte : body) {
            if (byte >= 32 && byte <= 127 && kept < 64) {
                expected += static_cast<char>(byte);
                ++kept;
            }
        }
        expected += "\r\nOK\r\n";

        std::vector<std::size_t> cuts;
        for (std::size_t i = random() % 4; i > 0; --i) cuts.push_back(random() % input.size());
        std::sort(cuts.begin(), cuts.end());
        modem.feed(input, cuts);
        ASSERT_EQ(modem.output(), expected);
    }
}

}  // namespace
