// The Linux serial backend on pty pairs: the gateway opens the pty's terminal side as its serial
// device, the test plays the equipment on the other side. Covers opening by name, the 50 ms read,
// whole writes, the line settings in termios, a read and a write at once, cancel and close of
// blocked transfers, XON/XOFF, and how a device without modem lines behaves.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/posix/posix_serial_lines.h"
#include "platform/posix/posix_termios.h"
#include "platform/serial.h"
#include "serial/line.h"
#include "serial/serial.h"
#include "sim/background.h"
#include "support/loopback.h"
#include "support/relay_call.h"
#include "support/settings_fixtures.h"
#include "support/test_dir.h"

namespace {

// A pty pair. The terminal side stays open here too, so that the test can look at its termios
// while the gateway has it open.
struct PtyPair {
    int master = -1;
    int terminal = -1;
    std::string path;

    PtyPair() {
        char name[128];
        if (openpty(&master, &terminal, name, nullptr, nullptr) != 0) {
            ADD_FAILURE() << "openpty failed";
            return;
        }
        path = name;
        termios raw;
        tcgetattr(master, &raw);
        cfmakeraw(&raw);
        tcsetattr(master, TCSANOW, &raw);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPair() {
        if (master >= 0) close(master);
        if (terminal >= 0) close(terminal);
    }

    void send(const std::string &bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else {
                pollfd ready{master, POLLOUT, 0};
                poll(&ready, 1, 100);
            }
        }
    }

    // What the gateway wrote, until `count` bytes came or timeout_ms passed.
    std::string receive(std::size_t count, std::uint32_t timeout_ms) {
        std::string got;
        std::uint32_t start = clock_tick_ms();
        while (got.size() < count && clock_tick_ms() - start < timeout_ms) {
            char buffer[4096];
            ssize_t n = read(master, buffer, std::min(sizeof buffer, count - got.size()));
            if (n > 0) {
                got.append(buffer, static_cast<std::size_t>(n));
            } else {
                pollfd ready{master, POLLIN, 0};
                poll(&ready, 1, 20);
            }
        }
        return got;
    }

    // The terminal's exclusive mode (no further opens but by root).
    int exclusive() {
        int on = -1;
        EXPECT_EQ(ioctl(terminal, TIOCGEXCL, &on), 0);
        return on;
    }

    termios terminal_settings() {
        termios settings{};
        EXPECT_EQ(tcgetattr(terminal, &settings), 0);
        return settings;
    }
};

// A port record whose settings name the pty, flow control off unless asked.
std::unique_ptr<PortRecord> pty_port(const PtyPair &pty, std::int32_t flow_control = 0) {
    std::unique_ptr<PortRecord> port(new PortRecord{});
    port->active_settings = make_port(pty.path.c_str());
    port->active_settings.flow_control = flow_control;
    return port;
}

// The port record opened on the pty; closed when the test ends.
struct OpenPort {
    std::unique_ptr<PortRecord> port;
    explicit OpenPort(const PtyPair &pty, std::int32_t flow_control = 0)
        : port(pty_port(pty, flow_control)) {
        port->com_handle = serial_open(&port->active_settings);
        EXPECT_NE(port->com_handle.load(), COM_INVALID_HANDLE);
    }
    ~OpenPort() { serial_close(port->com_handle.exchange(COM_INVALID_HANDLE)); }
    PortRecord *get() { return port.get(); }
};

std::string pattern(std::size_t length, int seed) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i * 131 + seed);
    return bytes;
}

TEST(PosixSerial, OpensByComNameAndByPath) {
    PtyPair pty;
    ScopedTestDir dir;
    ASSERT_EQ(symlink(pty.path.c_str(), "COM7"), 0);
    ASSERT_EQ(symlink("/nonexistent/device", "COM8"), 0);
    { std::FILE *plain = std::fopen("COM9", "w"); ASSERT_NE(plain, nullptr); std::fclose(plain); }

    for (const char *name : {"COM7", "com7", pty.path.c_str()}) {
        SCOPED_TRACE(name);
        ComHandle handle = com_open(name);
        ASSERT_NE(handle, COM_INVALID_HANDLE);
        std::uint32_t count = 0;
        EXPECT_EQ(com_write(handle, name, static_cast<std::uint32_t>(std::strlen(name)), &count),
                  0);
        EXPECT_EQ(pty.receive(std::strlen(name), 2000), name);
        // No sharing: a second open of the same device fails, by any of its names.
        EXPECT_EQ(com_open("COM7"), COM_INVALID_HANDLE);
        EXPECT_EQ(com_open(pty.path.c_str()), COM_INVALID_HANDLE);
        EXPECT_EQ(pty.exclusive(), 1);
        com_close(handle);
        EXPECT_EQ(pty.exclusive(), 0);  // others may open the device again
    }
    // A dangling link fails rather than fall through to the machine's own port; a plain file is
    // no serial line; other names mean nothing.
    for (const char *name : {"COM8", "COM9", "COM0", "COMX", "NUL", "COM7x", "/nonexistent"}) {
        EXPECT_EQ(com_open(name), COM_INVALID_HANDLE) << name;
    }
}

// A second open of a device that is held (two port records naming one device, an emulator's open
// retries) fails and leaves the device as it was: the holder's queued input and output stay.
TEST(PosixSerial, AFailedOpenLeavesTheHoldersQueuesAlone) {
    PtyPair pty;
    OpenPort port(pty);
    pty.send("queued in");
    clock_sleep_ms(50);
    // Output the equipment has not taken yet: it waits in the terminal's output queue.
    std::string out = pattern(2000, 7);
    ASSERT_EQ(serial_write(port.get(), out.data(), static_cast<std::int32_t>(out.size())), 1);
    termios before = pty.terminal_settings();

    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_EQ(com_open(pty.path.c_str()), COM_INVALID_HANDLE);
    }
    EXPECT_EQ(pty.exclusive(), 1);  // still the holder's alone
    termios after = pty.terminal_settings();
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(pty.receive(out.size(), 5000), out);
    char buffer[32];
    std::uint32_t count = 0;
    ASSERT_EQ(serial_read(port.get(), buffer, sizeof buffer, &count), 1);
    EXPECT_EQ(std::string(buffer, count), "queued in");
}

TEST(PosixSerial, AQuietReadEndsAfterAbout50msAndBufferedBytesComeAtOnce) {
    PtyPair pty;
    OpenPort port(pty);
    char buffer[16];
    std::uint32_t count = 99;
    std::uint32_t start = clock_tick_ms();
    EXPECT_EQ(serial_read(port.get(), buffer, sizeof buffer, &count), 1);
    std::uint32_t took = clock_tick_ms() - start;
    EXPECT_EQ(count, 0u);
    EXPECT_GE(took, 40u);
    EXPECT_LT(took, 1000u);

    std::uint32_t quickest = 0xFFFFFFFFu;
    for (int attempt = 0; attempt < 3; ++attempt) {
        pty.send("abc");
        clock_sleep_ms(20);  // the bytes are waiting in the device before the read starts
        start = clock_tick_ms();
        ASSERT_EQ(serial_read(port.get(), buffer, 10, &count), 1);
        quickest = std::min(quickest, clock_tick_ms() - start);
        EXPECT_EQ(std::string(buffer, count), "abc");
    }
    EXPECT_LT(quickest, 40u);
}

TEST(PosixSerial, WholeWritesArrive) {
    PtyPair pty;
    OpenPort port(pty);
    std::string block = pattern(300000, 5);  // far more than the pty holds at once
    std::string got;
    Background *equipment = background_start([&] { got = pty.receive(block.size(), 20000); });
    EXPECT_EQ(serial_write(port.get(), block.data(), static_cast<std::int32_t>(block.size())), 1);
    EXPECT_TRUE(background_join(equipment, 30000));
    EXPECT_TRUE(got == block) << "received " << got.size() << " of " << block.size() << " bytes";
}

TEST(PosixSerial, LineSettingsLandInTermios) {
    struct Row {
        std::int32_t baud_rate;
        speed_t speed;
        std::uint8_t data_bits, parity, stop_bits;
        std::int32_t flow_control;
    };
    const Row rows[] = {
        {300, B300, 8, 0, 0, 0},
        {9600, B9600, 7, 1, 2, FLOW_RTS_CTS},
        {19200, B19200, 8, 2, 0, FLOW_XON_XOFF},
        {115200, B115200, 7, 3, 0, FLOW_DTR_DSR},
        {230400, B230400, 8, 3, 2, FLOW_RTS_CTS | FLOW_XON_XOFF},
        {460800, B460800, 8, 0, 2, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.baud_rate);
        PtyPair pty;
        std::unique_ptr<PortRecord> port = pty_port(pty, row.flow_control);
        PortSettings &settings = port->active_settings;
        settings.baud_rate = row.baud_rate;
        settings.data_bits = row.data_bits;
        settings.parity = row.parity;
        settings.stop_bits = row.stop_bits;
        ComHandle handle = serial_open(&settings);
        ASSERT_NE(handle, COM_INVALID_HANDLE);
        termios t = pty.terminal_settings();
        EXPECT_EQ(cfgetospeed(&t), row.speed);
        EXPECT_EQ(cfgetispeed(&t), row.speed);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, row.stop_bits == 2);
        EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, (row.flow_control & FLOW_RTS_CTS) != 0);
        EXPECT_EQ((t.c_iflag & IXON) != 0, (row.flow_control & FLOW_XON_XOFF) != 0);
        EXPECT_EQ((t.c_iflag & IXOFF) != 0, (row.flow_control & FLOW_XON_XOFF) != 0);
        EXPECT_EQ(t.c_cc[VSTART], 17);
        EXPECT_EQ(t.c_cc[VSTOP], 19);
        // A byte with a parity error arrives as received, as on Windows without an error char.
        EXPECT_EQ(t.c_iflag & INPCK, 0u);
        EXPECT_EQ((t.c_cflag & PARODD) != 0, row.parity == 1 || row.parity == 3);
        EXPECT_EQ((t.c_cflag & CMSPAR) != 0, row.parity == 3);
        EXPECT_TRUE(t.c_cflag & CLOCAL);
        EXPECT_TRUE(t.c_cflag & CREAD);
        EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
        EXPECT_FALSE(t.c_oflag & OPOST);

        // A pty keeps 8 data bits and no parity whatever it is told; what the backend asks for
        // is checked on the mapping itself.
        SerialDcb dcb{};
        ASSERT_EQ(com_get_state(handle, &dcb), 0);
        EXPECT_EQ(dcb.baud_rate, static_cast<std::uint32_t>(row.baud_rate));
        EXPECT_EQ(dcb.byte_size, row.data_bits);
        EXPECT_EQ(dcb.parity, row.parity);
        termios wanted{};
        ASSERT_TRUE(posix_termios_from_dcb(&dcb, &wanted));
        EXPECT_EQ(wanted.c_cflag & CSIZE, row.data_bits == 7 ? tcflag_t{CS7} : tcflag_t{CS8});
        EXPECT_EQ((wanted.c_cflag & PARENB) != 0, row.parity != 0);
        EXPECT_EQ((wanted.c_cflag & PARODD) != 0, row.parity == 1 || row.parity == 3);
        EXPECT_EQ((wanted.c_cflag & CMSPAR) != 0, row.parity == 3);
        serial_close(handle);
    }
}

TEST(PosixSerial, SettingsTermiosCannotHoldAreRefusedWhole) {
    PtyPair pty;
    OpenPort port(pty);
    ComHandle handle = port.get()->com_handle;
    SerialDcb good;
    ASSERT_EQ(com_get_state(handle, &good), 0);
    termios before = pty.terminal_settings();
    struct Row {
        const char *what;
        std::function<void(SerialDcb *)> change;
    };
    const Row rows[] = {
        {"1.5 stop bits with 8 data bits", [](SerialDcb *d) { d->stop_bits = COM_STOP_BITS_1_5; }},
        {"a speed outside the table", [](SerialDcb *d) { d->baud_rate = 12345; }},
        {"9 data bits", [](SerialDcb *d) { d->byte_size = 9; }},
        {"an unknown parity", [](SerialDcb *d) { d->parity = 5; }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        SerialDcb dcb = good;
        dcb.stop_bits = COM_STOP_BITS_2;  // would show if anything of the block got through
        row.change(&dcb);
        EXPECT_EQ(com_set_state(handle, &dcb), -1);
        termios after = pty.terminal_settings();
        EXPECT_EQ(after.c_cflag, before.c_cflag);
        EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
        SerialDcb kept;
        ASSERT_EQ(com_get_state(handle, &kept), 0);
        EXPECT_EQ(kept.baud_rate, good.baud_rate);
        EXPECT_EQ(kept.stop_bits, good.stop_bits);
    }
    SerialDcb five = good;
    five.byte_size = 5;
    five.stop_bits = COM_STOP_BITS_1_5;  // what a UART can do: CSTOPB with 5 data bits
    EXPECT_EQ(com_set_state(handle, &five), 0);
    EXPECT_TRUE(pty.terminal_settings().c_cflag & CSTOPB);
}

TEST(PosixSerial, AReadAndAWriteRunAtOnce) {
    PtyPair pty;
    OpenPort port(pty);
    std::string outgoing = pattern(200000, 1), incoming = pattern(200000, 2);
    std::string read_back;
    std::atomic<int> write_result{-1};
    Background *writer = background_start([&] {
        write_result = serial_write(port.get(), outgoing.data(),
                                    static_cast<std::int32_t>(outgoing.size()));
    });
    Background *reader = background_start([&] {
        char buffer[1024];
        std::uint32_t start = clock_tick_ms();
        while (read_back.size() < incoming.size() && clock_tick_ms() - start < 20000) {
            std::uint32_t count = 0;
            if (serial_read(port.get(), buffer, sizeof buffer, &count) != 1) break;
            read_back.append(buffer, count);
        }
    });
    // The equipment sends and receives at once, so that neither side's buffer stalls the other.
    std::string received;
    std::size_t sent = 0;
    std::uint32_t start = clock_tick_ms();
    while ((received.size() < outgoing.size() || sent < incoming.size()) &&
           clock_tick_ms() - start < 20000) {
        char buffer[4096];
        ssize_t n = read(pty.master, buffer, sizeof buffer);
        if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
        if (sent < incoming.size()) {
            n = write(pty.master, incoming.data() + sent,
                      std::min<std::size_t>(4096, incoming.size() - sent));
            if (n > 0) sent += static_cast<std::size_t>(n);
        }
        pollfd ready{pty.master, POLLIN, 0};
        poll(&ready, 1, 5);
    }
    EXPECT_TRUE(background_join(writer, 30000));
    EXPECT_TRUE(background_join(reader, 30000));
    EXPECT_EQ(write_result, 1);
    EXPECT_TRUE(received == outgoing) << received.size() << " of " << outgoing.size();
    EXPECT_TRUE(read_back == incoming) << read_back.size() << " of " << incoming.size();
}

TEST(PosixSerial, CancelReleasesAWriteThatCannotGoOn) {
    PtyPair pty;
    OpenPort port(pty);
    std::string block = pattern(1 << 20, 3);  // the equipment reads none of it: the pty fills up
    std::atomic<int> result{-1};
    Background *writer = background_start([&] {
        result = serial_write(port.get(), block.data(), static_cast<std::int32_t>(block.size()));
    });
    clock_sleep_ms(300);
    ASSERT_FALSE(background_finished(writer));
    EXPECT_EQ(com_cancel(port.get()->com_handle), 0);
    EXPECT_TRUE(background_join(writer, 5000));
    EXPECT_EQ(result, 0);

    // The port goes on: once the equipment has read what was sent, a new write arrives whole.
    while (!pty.receive(65536, 200).empty()) {
    }
    EXPECT_EQ(serial_write(port.get(), "after", 5), 1);
    EXPECT_EQ(pty.receive(5, 2000), "after");
}

TEST(PosixSerial, CloseReleasesABlockedReadAndWrite) {
    PtyPair pty;
    OpenPort port(pty);
    ComHandle handle = port.get()->com_handle;
    SerialTimeouts no_limit{};
    ASSERT_EQ(com_set_timeouts(handle, &no_limit), 0);  // the read now waits for its buffer
    std::string block = pattern(1 << 20, 4);
    std::atomic<int> write_result{-1}, read_result{-1};
    Background *writer = background_start([&] {
        write_result =
            serial_write(port.get(), block.data(), static_cast<std::int32_t>(block.size()));
    });
    Background *reader = background_start([&] {
        char buffer[64];
        std::uint32_t count;
        read_result = serial_read(port.get(), buffer, sizeof buffer, &count);
    });
    clock_sleep_ms(300);
    ASSERT_FALSE(background_finished(writer));
    ASSERT_FALSE(background_finished(reader));
    EXPECT_EQ(serial_close(port.get()->com_handle.exchange(COM_INVALID_HANDLE)), 0);
    EXPECT_TRUE(background_join(writer, 5000));
    EXPECT_TRUE(background_join(reader, 5000));
    EXPECT_EQ(write_result, 0);
    EXPECT_EQ(read_result, 0);
}

TEST(PosixSerial, XonXoffHoldsAWriteBack) {
    PtyPair pty;
    OpenPort port(pty, FLOW_XON_XOFF);
    pty.send("\x13");  // DC3: stop
    clock_sleep_ms(50);
    std::atomic<int> result{-1};
    Background *writer = background_start([&] { result = serial_write(port.get(), "hello", 5); });
    EXPECT_EQ(pty.receive(5, 300), "");
    EXPECT_FALSE(background_finished(writer));
    pty.send("\x11");  // DC1: go on
    EXPECT_TRUE(background_join(writer, 5000));
    EXPECT_EQ(result, 1);
    EXPECT_EQ(pty.receive(5, 2000), "hello");
    char buffer[8];
    std::uint32_t count = 9;
    EXPECT_EQ(serial_read(port.get(), buffer, sizeof buffer, &count), 1);
    EXPECT_EQ(count, 0u);  // DC1 and DC3 are not data
}

// A pty has no modem lines: the status reads all off, raising and dropping succeed without
// effect, a break is skipped. A port with no confirm and no watch signals works over it.
TEST(PosixSerial, ADeviceWithoutModemLines) {
    PtyPair pty;
    OpenPort port(pty);
    ComHandle handle = port.get()->com_handle;
    std::uint32_t status = 99;
    EXPECT_EQ(com_modem_status(handle, &status), 0);
    EXPECT_EQ(status, 0u);
    for (std::uint32_t code : {COM_SETDTR, COM_SETRTS, COM_CLRDTR, COM_CLRRTS}) {
        EXPECT_EQ(com_escape(handle, code), 0) << code;
    }
    EXPECT_EQ(com_set_break(handle), 0);
    EXPECT_EQ(com_clear_break(handle), 0);

    PortSettings &settings = port.get()->active_settings;
    settings.raise_signals = SIGNAL_ER | SIGNAL_RS;
    settings.confirm_signals = 0;
    settings.watch_signals = 0;
    EXPECT_EQ(line_connect(port.get()), 0);
    EXPECT_EQ(line_carrier_ok(port.get()), 1);
    EXPECT_EQ(line_disconnect(port.get()), 0);

    settings.confirm_signals = SIGNAL_CD;
    settings.connect_timeout_ms = 300;
    EXPECT_EQ(line_connect(port.get()), -1);  // carrier never comes on a pty
    settings.watch_signals = SIGNAL_CD;
    EXPECT_EQ(line_carrier_ok(port.get()), 0);
    EXPECT_EQ(line_disconnect(port.get()), 0);  // and it is off at once
}

// DR/ER flow control as a Windows port does it, on a pty lent modem lines: output waits while DSR
// is off, input that arrives while DSR is off is dropped (what came before stays), and DTR drops
// while unread input piles up and rises again once it has been read.
TEST(PosixSerial, DtrDsrHandshakeOnLentLines) {
    std::atomic<int> inputs{TIOCM_DSR};
    std::atomic<int> outputs{0};
    posix_serial_lend_lines(&inputs, &outputs);
    {
        PtyPair pty;
        OpenPort port(pty, FLOW_DTR_DSR);
        ComHandle handle = port.get()->com_handle;
        EXPECT_EQ(outputs.load() & TIOCM_DTR, TIOCM_DTR);
        // Writes that give up after 100 ms show whether output is held: a stopped pty takes none.
        SerialTimeouts timeouts{};
        ASSERT_EQ(com_get_timeouts(handle, &timeouts), 0);
        timeouts.write_total_timeout_constant = 100;
        ASSERT_EQ(com_set_timeouts(handle, &timeouts), 0);
        auto output_held = [&] {
            std::uint32_t count = 0;
            EXPECT_EQ(com_write(handle, ".", 1, &count), 0);
            return count == 0;
        };

        pty.send("early");  // came while DSR was on: kept though read after it dropped
        clock_sleep_ms(50);
        inputs.store(0);
        ASSERT_TRUE(wait_until(output_held, 5000));
        pty.receive(100, 200);  // the probes that went before
        pty.send("dropped");
        clock_sleep_ms(50);
        char buffer[64];
        std::uint32_t count = 0;
        ASSERT_EQ(serial_read(port.get(), buffer, sizeof buffer, &count), 1);
        EXPECT_EQ(std::string(buffer, count), "early");
        ASSERT_EQ(serial_read(port.get(), buffer, sizeof buffer, &count), 1);
        EXPECT_EQ(count, 0u);

        Running writer([&] { return serial_write(port.get(), "held back", 9); });
        EXPECT_EQ(pty.receive(10, 300), "");  // a pty takes nothing while its output is stopped
        EXPECT_FALSE(writer.done.load());
        inputs.store(TIOCM_DSR);
        EXPECT_EQ(writer.wait(5000), 1);
        EXPECT_EQ(pty.receive(9, 5000), "held back");
        pty.send("kept");
        clock_sleep_ms(50);
        ASSERT_EQ(serial_read(port.get(), buffer, sizeof buffer, &count), 1);
        EXPECT_EQ(std::string(buffer, count), "kept");

        // Input that piles up unread drops DTR; reading it raises DTR again.
        pty.send(pattern(3000, 9));
        EXPECT_TRUE(wait_until([&] { return (outputs.load() & TIOCM_DTR) == 0; }, 5000));
        std::string taken;
        while (taken.size() < 3000) {
            ASSERT_EQ(serial_read(port.get(), buffer, sizeof buffer, &count), 1);
            taken.append(buffer, count);
        }
        EXPECT_TRUE(taken == pattern(3000, 9));
        EXPECT_TRUE(wait_until([&] { return (outputs.load() & TIOCM_DTR) != 0; }, 5000));
        // A DTR dropped on purpose stays down however the queue goes.
        EXPECT_EQ(com_escape(handle, COM_CLRDTR), 0);
        clock_sleep_ms(100);
        EXPECT_EQ(outputs.load() & TIOCM_DTR, 0);
    }
    posix_serial_lend_lines(nullptr, nullptr);
}

TEST(PosixSerial, PurgeDropsWaitingInputAndALostPeerFailsReads) {
    PtyPair pty;
    OpenPort port(pty);
    pty.send("stale");
    clock_sleep_ms(50);
    EXPECT_EQ(com_purge(port.get()->com_handle, COM_PURGE_RXCLEAR), 0);
    char buffer[16];
    std::uint32_t count = 9;
    EXPECT_EQ(serial_read(port.get(), buffer, sizeof buffer, &count), 1);
    EXPECT_EQ(count, 0u);

    close(pty.master);
    pty.master = -1;
    EXPECT_EQ(serial_read(port.get(), buffer, sizeof buffer, &count), 0);
}

}  // namespace
