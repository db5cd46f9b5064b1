// Linux serial devices through termios. The descriptor is non-blocking and every wait is a poll
// on the device and on one wake-up descriptor per direction, so a read or a write held back by flow
// control can be ended from another thread without killing anything. The DTR/DSR handshake, which
// termios lacks, is done by a watcher thread of the device while the line format asks for it.
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/posix/posix_serial_lines.h"
#include "platform/posix/posix_termios.h"
#include "platform/posix/posix_time.h"
#include "platform/serial_backend.h"
#include "platform/thread.h"

// An eventfd: poll sees it readable from the signal until the take.
struct ComWake {
    int fd = -1;
};

namespace {

struct PosixSerial {
    int fd = -1;
    int exclusive = 0;    // this open set the terminal's exclusive mode
    int read_wake = -1;   // readable: the running read must look at its cancel flag
    int write_wake = -1;  // the same for the running write
    std::mutex lock;
    int closing = 0;          // under lock; every transfer fails from now on
    int reading = 0;          // under lock
    int read_cancelled = 0;   // under lock
    bool line_quiet = false;  // the last read found nothing; the reading thread only
    int writing = 0;          // under lock
    int write_cancelled = 0;  // under lock
    SerialDcb dcb{};          // under lock; the block last applied (termios cannot hold all of it)
    SerialTimeouts timeouts{};  // under lock

    // The DTR/DSR handshake. The watcher runs while the block asks for it on a device with modem
    // lines; set_state starts and ends it, close ends it (no other call runs then).
    Thread *watcher = nullptr;
    std::condition_variable watch_wake;  // with lock: cuts the watcher's sleep short for its stop
    int watching = 0;            // under lock: the watcher runs
    int watch_stop = 0;          // under lock
    int output_suspended = 0;    // under lock: the watcher stopped the output for DSR off
    int dsr_on = 1;              // under lock: DSR as the watcher last saw it
    std::uint32_t dsr_owed = 0;  // under lock: bytes that came before DSR dropped, still to deliver
    int dtr_wanted = 1;          // under lock: DTR as the block and com_escape last asked for it
    int dtr_throttled = 0;       // under lock: the watcher dropped DTR for a full input queue

    // The driver's counts of line errors as last read (com_line_errors reports what they grew
    // by); under lock. A device without them (a pty) keeps counts_known 0 and reports nothing.
    int counts_known = 0;
    serial_icounter_struct counts{};
};

// The DTR/DSR handshake's watch: the lines and the input queue are looked at this often.
constexpr int WATCH_INTERVAL_MS = 10;
// DTR as the input handshake drops when this many received bytes wait unread, and rises again at
// or below the low mark. The terminal holds 4 KB, and the driver more behind it, so the equipment
// has room to react.
constexpr int INPUT_HIGH_WATER = 2048;
constexpr int INPUT_LOW_WATER = 512;

// posix_serial_lend_lines.
std::atomic<std::atomic<int> *> lent_inputs{nullptr};
std::atomic<std::atomic<int> *> lent_outputs{nullptr};

struct SpeedEntry {
    std::uint32_t baud_rate;
    speed_t speed;
};

constexpr SpeedEntry SPEED_TABLE[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

PosixSerial *as_serial(void *device) { return static_cast<PosixSerial *>(device); }

void wake_signal(int wake) {
    std::uint64_t one = 1;
    while (write(wake, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void wake_drain(int wake) {
    std::uint64_t value;
    while (read(wake, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

// A device without modem lines (a pty, some adapters) answers the line ioctls so.
bool no_modem_lines(int error) { return error == ENOTTY || error == EINVAL; }

// The device path for a name; false when the name is neither COMn nor a path.
bool device_path(const char *name, char *path, std::size_t size) {
    if (name[0] == '/') {
        return static_cast<std::size_t>(snprintf(path, size, "%s", name)) < size;
    }
    if (strncasecmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '9') return false;
    unsigned number = 0;
    for (const char *digit = name + 3; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9' || number > 100000) return false;
        number = number * 10 + static_cast<unsigned>(*digit - '0');
    }
    // A link in the current directory names the device; a dangling one fails the open rather
    // than falling through to the machine's own port.
    char local[32];
    snprintf(local, sizeof local, "COM%u", number);
    struct stat info;
    if (lstat(local, &info) == 0) {
        return static_cast<std::size_t>(snprintf(path, size, "%s", local)) < size;
    }
    return static_cast<std::size_t>(snprintf(path, size, "/dev/ttyS%u", number - 1)) < size;
}

// The control block that a freshly opened line's termios stands for.
SerialDcb dcb_from_termios(const termios *settings) {
    SerialDcb dcb{};
    dcb.dcb_length = COM_DCB_LENGTH;
    speed_t speed = cfgetospeed(settings);
    for (const SpeedEntry &entry : SPEED_TABLE) {
        if (entry.speed == speed) dcb.baud_rate = entry.baud_rate;
    }
    dcb.f_binary = 1;
    dcb.f_parity = (settings->c_iflag & INPCK) ? 1 : 0;
    dcb.f_outx_cts_flow = (settings->c_cflag & CRTSCTS) ? 1 : 0;
    dcb.f_rts_control = dcb.f_outx_cts_flow ? COM_LINE_CONTROL_HANDSHAKE : COM_LINE_CONTROL_ENABLE;
    dcb.f_dtr_control = COM_LINE_CONTROL_ENABLE;
    dcb.f_out_x = (settings->c_iflag & IXON) ? 1 : 0;
    dcb.f_in_x = (settings->c_iflag & IXOFF) ? 1 : 0;
    switch (settings->c_cflag & CSIZE) {
    case CS5: dcb.byte_size = 5; break;
    case CS6: dcb.byte_size = 6; break;
    case CS7: dcb.byte_size = 7; break;
    default: dcb.byte_size = 8; break;
    }
    if (!(settings->c_cflag & PARENB)) {
        dcb.parity = COM_PARITY_NONE;
    } else if (settings->c_cflag & CMSPAR) {
        dcb.parity = (settings->c_cflag & PARODD) ? COM_PARITY_MARK : COM_PARITY_SPACE;
    } else {
        dcb.parity = (settings->c_cflag & PARODD) ? COM_PARITY_ODD : COM_PARITY_EVEN;
    }
    dcb.stop_bits = (settings->c_cflag & CSTOPB) ? COM_STOP_BITS_2 : COM_STOP_BITS_1;
    dcb.xon_char = settings->c_cc[VSTART];
    dcb.xoff_char = settings->c_cc[VSTOP];
    return dcb;
}

// Raises or drops modem-control lines; a device without them accepts this without effect.
int set_lines(int fd, int bits, int on) {
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0) return 0;
    if (!no_modem_lines(errno)) return -1;
    std::atomic<int> *outputs = lent_outputs.load();
    if (outputs != nullptr) {
        if (on) {
            outputs->fetch_or(bits);
        } else {
            outputs->fetch_and(~bits);
        }
    }
    return 0;
}

// The modem-control lines as TIOCM_* bits; *present false (and no bit set) for a device without
// them. -1 when they cannot be read.
int get_lines(int fd, int *bits, bool *present) {
    *present = false;
    if (ioctl(fd, TIOCMGET, bits) == 0) {
        *present = true;
        return 0;
    }
    *bits = 0;
    if (!no_modem_lines(errno)) return -1;
    std::atomic<int> *inputs = lent_inputs.load();
    std::atomic<int> *outputs = lent_outputs.load();
    if (inputs != nullptr) {
        *bits = inputs->load() | (outputs != nullptr ? outputs->load() : 0);
        *present = true;
    }
    return 0;
}

bool dsr_output_flow(const SerialDcb &dcb) { return dcb.f_outx_dsr_flow != 0; }
bool dtr_input_flow(const SerialDcb &dcb) {
    return dcb.f_dtr_control == COM_LINE_CONTROL_HANDSHAKE;
}
// Received bytes are dropped while DSR is off only with the DSR handshake: a line whose DSR is not
// wired (a three-wire cable) would otherwise never deliver a byte.
bool dsr_input_filter(const SerialDcb &dcb) {
    return dcb.f_dsr_sensitivity != 0 && dsr_output_flow(dcb);
}

// The watcher of the DTR/DSR handshake: output is stopped while DSR is off (what was handed to the
// terminal waits in it), DSR is noted for the reader's filter, and DTR follows the input queue.
std::uint32_t watch_lines(void *param) {
    PosixSerial *serial = static_cast<PosixSerial *>(param);
    std::unique_lock<std::mutex> hold(serial->lock);
    while (serial->watch_stop == 0) {
        serial->watch_wake.wait_for(hold, std::chrono::milliseconds(WATCH_INTERVAL_MS));
        if (serial->watch_stop != 0) break;
        int lines = 0;
        bool present = false;
        // A line that cannot be read counts as on: the handshake must not hold a port for ever.
        bool dsr = get_lines(serial->fd, &lines, &present) != 0 || !present ||
                   (lines & TIOCM_DSR) != 0;
        int queued = 0;
        if (ioctl(serial->fd, TIOCINQ, &queued) != 0) queued = 0;
        if (dsr_output_flow(serial->dcb)) {
            if (!dsr && serial->output_suspended == 0) {
                serial->output_suspended = tcflow(serial->fd, TCOOFF) == 0 ? 1 : 0;
            } else if (dsr && serial->output_suspended != 0) {
                tcflow(serial->fd, TCOON);
                serial->output_suspended = 0;
            }
        }
        // What waits unread as DSR drops came while it was on.
        if (serial->dsr_on != 0 && !dsr) serial->dsr_owed = static_cast<std::uint32_t>(queued);
        serial->dsr_on = dsr ? 1 : 0;
        if (dtr_input_flow(serial->dcb)) {
            if (queued >= INPUT_HIGH_WATER && serial->dtr_throttled == 0) {
                serial->dtr_throttled = 1;
                set_lines(serial->fd, TIOCM_DTR, 0);
            } else if (queued <= INPUT_LOW_WATER && serial->dtr_throttled != 0) {
                serial->dtr_throttled = 0;
                if (serial->dtr_wanted != 0) set_lines(serial->fd, TIOCM_DTR, 1);
            }
        }
    }
    return 0;
}

// Ends the watcher and undoes what it holds: the output runs again, DTR is as last asked for.
void watcher_stop(PosixSerial *serial) {
    if (serial->watcher == nullptr) return;
    {
        std::lock_guard<std::mutex> hold(serial->lock);
        serial->watch_stop = 1;
        serial->watch_wake.notify_all();
    }
    (void)thread_join(serial->watcher, WAIT_FOREVER_MS);
    thread_close(serial->watcher);
    serial->watcher = nullptr;
    std::lock_guard<std::mutex> hold(serial->lock);
    serial->watching = 0;
    if (serial->output_suspended != 0) tcflow(serial->fd, TCOON);
    serial->output_suspended = 0;
    serial->dsr_on = 1;
    serial->dsr_owed = 0;
    if (serial->dtr_throttled != 0 && serial->dtr_wanted != 0) set_lines(serial->fd, TIOCM_DTR, 1);
    serial->dtr_throttled = 0;
}

// Of `count` bytes just read, how many are kept: all, unless DSR is off under the DSR handshake,
// when only those that came before it dropped are.
std::uint32_t keep_received(PosixSerial *serial, std::uint32_t count) {
    std::lock_guard<std::mutex> hold(serial->lock);
    if (serial->watching == 0 || !dsr_input_filter(serial->dcb) || serial->dsr_on != 0) {
        return count;
    }
    std::uint32_t kept = count < serial->dsr_owed ? count : serial->dsr_owed;
    serial->dsr_owed -= kept;
    return kept;
}

// Registers the caller as the running transfer of one direction. False when the device closes.
bool transfer_begin(PosixSerial *serial, int *active, int *cancelled, int wake) {
    std::lock_guard<std::mutex> hold(serial->lock);
    if (serial->closing) return false;
    *active = 1;
    // A cancel signals the wake-up only while a transfer runs and marks it cancelled; the signal
    // meant for that earlier transfer is not for this one.
    if (*cancelled) wake_drain(wake);
    *cancelled = 0;
    return true;
}

void transfer_end(PosixSerial *serial, int *active) {
    std::lock_guard<std::mutex> hold(serial->lock);
    *active = 0;
}

bool transfer_cancelled(PosixSerial *serial, const int *cancelled) {
    std::lock_guard<std::mutex> hold(serial->lock);
    return serial->closing || *cancelled;
}

// Waits for the device to be ready (events) or the wake-up, up to timeout_ms (-1: no limit).
// 1 ready, 0 timed out, -1 cancelled or failed.
int wait_ready(PosixSerial *serial, short events, int wake, const int *cancelled, int timeout_ms) {
    for (;;) {
        pollfd fds[2] = {{serial->fd, events, 0}, {wake, POLLIN, 0}};
        int ready = poll(fds, 2, timeout_ms);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (fds[1].revents != 0) {
            if (transfer_cancelled(serial, cancelled)) return -1;
            wake_drain(wake);
        }
        if (fds[0].revents & POLLNVAL) return -1;
        // POLLERR and POLLHUP: the next read or write reports what happened. A stray wake-up
        // also sends the caller round again, so that it recomputes its time left.
        return ready == 0 ? 0 : 1;
    }
}

int remaining_ms(std::uint64_t deadline) {
    std::uint64_t now = posix_monotonic_ms();
    if (now >= deadline) return 0;
    std::uint64_t left = deadline - now;
    return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

int read_transfer(PosixSerial *serial, std::uint8_t *buffer, std::uint32_t maximum,
                  std::uint32_t *count, const SerialTimeouts &timeouts) {
    bool what_arrived = timeouts.read_interval_timeout == COM_MAXDWORD &&
                        timeouts.read_total_timeout_multiplier == 0;
    std::uint64_t total = what_arrived ? timeouts.read_total_timeout_constant
                                       : static_cast<std::uint64_t>(
                                             timeouts.read_total_timeout_multiplier) * maximum +
                                             timeouts.read_total_timeout_constant;
    bool limited = what_arrived || total != 0;
    std::uint64_t deadline = posix_monotonic_ms() + total;
    std::uint32_t got = 0;
    // After an empty read the line is probably still quiet: wait first, so that a quiet line costs
    // one wait per call. After data, read first: more is probably there already.
    bool wait_first = serial->line_quiet;
    while (got < maximum) {
        if (wait_first) {
            wait_first = false;
            int timeout = limited ? remaining_ms(deadline) : -1;
            int ready =
                wait_ready(serial, POLLIN, serial->read_wake, &serial->read_cancelled, timeout);
            if (ready < 0) return -1;
            if (ready == 0 && limited && remaining_ms(deadline) == 0) break;
        }
        ssize_t n = read(serial->fd, buffer + got, maximum - got);
        if (n > 0) {
            // Bytes dropped for DSR off are overwritten by the next read; the wait goes on.
            got += keep_received(serial, static_cast<std::uint32_t>(n));
            if (what_arrived && got > 0) break;
            continue;
        }
        // 0 is the end of the line (a hang-up): nothing more will come.
        if (n == 0) return -1;
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return -1;
        int timeout = limited ? remaining_ms(deadline) : -1;
        if (timeout == 0) break;
        // A quiet line costs one read and one wait per call: a wait that times out saw nothing.
        int ready = wait_ready(serial, POLLIN, serial->read_wake, &serial->read_cancelled, timeout);
        if (ready < 0) return -1;
        if (ready == 0 && limited && remaining_ms(deadline) == 0) break;
    }
    serial->line_quiet = got == 0;
    *count = got;
    return 0;
}

int write_transfer(PosixSerial *serial, const std::uint8_t *data, std::uint32_t length,
                   std::uint32_t *count, const SerialTimeouts &timeouts) {
    std::uint64_t total =
        static_cast<std::uint64_t>(timeouts.write_total_timeout_multiplier) * length +
        timeouts.write_total_timeout_constant;
    std::uint64_t deadline = posix_monotonic_ms() + total;
    std::uint32_t done = 0;
    while (done < length) {
        ssize_t n = write(serial->fd, data + done, length - done);
        if (n > 0) {
            done += static_cast<std::uint32_t>(n);
            *count = done;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return -1;
        int timeout = total != 0 ? remaining_ms(deadline) : -1;
        if (timeout == 0) break;
        if (wait_ready(serial, POLLOUT, serial->write_wake, &serial->write_cancelled, timeout) <
            0) {
            return -1;
        }
    }
    return 0;
}

// Lets go of what a failed open made. The device belongs to whoever holds it open: nothing may be
// flushed or switched on it (its queues are the terminal's, shared by every descriptor).
void release_failed_open(PosixSerial *serial) {
    if (serial->fd >= 0) close(serial->fd);
    if (serial->read_wake >= 0) close(serial->read_wake);
    if (serial->write_wake >= 0) close(serial->write_wake);
    delete serial;
}

void posix_close(void *device) {
    PosixSerial *serial = as_serial(device);
    watcher_stop(serial);
    if (serial->fd >= 0) {
        // The exclusive mode belongs to the terminal, not to this descriptor: it would outlive the
        // close while anyone else still holds the device open.
        if (serial->exclusive) ioctl(serial->fd, TIOCNXCL);
        // Output still queued (a write that began after the close's purge, held back by flow
        // control or a slow line) would hold close() until it drained, up to the driver's 30 s.
        tcflush(serial->fd, TCIOFLUSH);
        close(serial->fd);
    }
    if (serial->read_wake >= 0) close(serial->read_wake);
    if (serial->write_wake >= 0) close(serial->write_wake);
    delete serial;
}

void *posix_open(const char *name) {
    char path[256];
    if (!device_path(name, path, sizeof path)) return nullptr;
    PosixSerial *serial = new (std::nothrow) PosixSerial();
    if (serial == nullptr) return nullptr;
    serial->fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    // Only a terminal device is a serial line; the lock makes the open exclusive as on Windows
    // (TIOCEXCL alone does not stop root).
    termios settings;
    if (serial->fd < 0 || !isatty(serial->fd) || flock(serial->fd, LOCK_EX | LOCK_NB) != 0 ||
        tcgetattr(serial->fd, &settings) != 0) {
        release_failed_open(serial);
        return nullptr;
    }
    serial->exclusive = ioctl(serial->fd, TIOCEXCL) == 0 ? 1 : 0;
    serial->read_wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    serial->write_wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (serial->read_wake < 0 || serial->write_wake < 0) {
        posix_close(serial);
        return nullptr;
    }
    // Raw from the start: the line discipline must never echo, translate or buffer by lines, even
    // before the line format is set. The format itself stays as it was.
    settings.c_iflag &= ~(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
    settings.c_oflag &= ~OPOST;
    settings.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    tcsetattr(serial->fd, TCSANOW, &settings);
    if (tcgetattr(serial->fd, &settings) == 0) serial->dcb = dcb_from_termios(&settings);
    // Errors count from the open on: what the driver counted before is another user's.
    if (ioctl(serial->fd, TIOCGICOUNT, &serial->counts) == 0) serial->counts_known = 1;
    return serial;
}

int posix_get_state(void *device, SerialDcb *dcb) {
    PosixSerial *serial = as_serial(device);
    std::lock_guard<std::mutex> hold(serial->lock);
    *dcb = serial->dcb;
    return 0;
}

int posix_set_state(void *device, const SerialDcb *dcb) {
    PosixSerial *serial = as_serial(device);
    termios settings;
    if (tcgetattr(serial->fd, &settings) != 0 || !posix_termios_from_dcb(dcb, &settings)) {
        return -1;
    }
    // The DTR/DSR handshake needs the watcher, and lines to watch: a device without them (a pty)
    // has nothing to hold its output or to pace its input with.
    int lines = 0;
    bool present = false;
    bool watch = (dsr_output_flow(*dcb) || dtr_input_flow(*dcb)) &&
                 get_lines(serial->fd, &lines, &present) == 0 && present;
    bool started = false;
    if (watch && serial->watcher == nullptr) {
        {
            std::lock_guard<std::mutex> hold(serial->lock);
            serial->watch_stop = 0;
            serial->watching = 1;
        }
        serial->watcher = thread_start(watch_lines, serial, 0);
        if (serial->watcher == nullptr) {
            std::lock_guard<std::mutex> hold(serial->lock);
            serial->watching = 0;
            return -1;
        }
        started = true;
    }
    if (tcsetattr(serial->fd, TCSANOW, &settings) != 0) {
        if (started) watcher_stop(serial);
        return -1;
    }
    if (!watch) watcher_stop(serial);
    // As on Windows, applying the block drives DTR and RTS as its line controls say; a handshake
    // line starts raised (Linux drives RTS itself under CRTSCTS; the watcher drives DTR).
    std::lock_guard<std::mutex> hold(serial->lock);
    serial->dcb = *dcb;
    serial->dtr_wanted = dcb->f_dtr_control != COM_LINE_CONTROL_DISABLE ? 1 : 0;
    if (serial->dtr_throttled == 0) set_lines(serial->fd, TIOCM_DTR, serial->dtr_wanted);
    set_lines(serial->fd, TIOCM_RTS, dcb->f_rts_control != COM_LINE_CONTROL_DISABLE);
    if (!dsr_output_flow(*dcb) && serial->output_suspended != 0) {
        tcflow(serial->fd, TCOON);
        serial->output_suspended = 0;
    }
    return 0;
}

int posix_get_timeouts(void *device, SerialTimeouts *timeouts) {
    PosixSerial *serial = as_serial(device);
    std::lock_guard<std::mutex> hold(serial->lock);
    *timeouts = serial->timeouts;
    return 0;
}

int posix_set_timeouts(void *device, const SerialTimeouts *timeouts) {
    PosixSerial *serial = as_serial(device);
    std::lock_guard<std::mutex> hold(serial->lock);
    serial->timeouts = *timeouts;
    return 0;
}

int posix_read(void *device, void *buffer, std::uint32_t maximum, std::uint32_t *count) {
    PosixSerial *serial = as_serial(device);
    if (!transfer_begin(serial, &serial->reading, &serial->read_cancelled, serial->read_wake)) {
        return -1;
    }
    SerialTimeouts timeouts;
    {
        std::lock_guard<std::mutex> hold(serial->lock);
        timeouts = serial->timeouts;
    }
    int result = maximum == 0 ? 0
                              : read_transfer(serial, static_cast<std::uint8_t *>(buffer), maximum,
                                              count, timeouts);
    transfer_end(serial, &serial->reading);
    return result;
}

int posix_write(void *device, const void *data, std::uint32_t length, std::uint32_t *count) {
    PosixSerial *serial = as_serial(device);
    if (!transfer_begin(serial, &serial->writing, &serial->write_cancelled, serial->write_wake)) {
        return -1;
    }
    SerialTimeouts timeouts;
    {
        std::lock_guard<std::mutex> hold(serial->lock);
        timeouts = serial->timeouts;
    }
    int result =
        write_transfer(serial, static_cast<const std::uint8_t *>(data), length, count, timeouts);
    transfer_end(serial, &serial->writing);
    return result;
}

int posix_escape(void *device, std::uint32_t code) {
    PosixSerial *serial = as_serial(device);
    int fd = serial->fd;
    switch (code) {
    case COM_SETDTR:
    case COM_CLRDTR: {
        // Under the input handshake the watcher may hold DTR down for a full queue; it raises the
        // line again only when it is wanted.
        std::lock_guard<std::mutex> hold(serial->lock);
        serial->dtr_wanted = code == COM_SETDTR ? 1 : 0;
        if (serial->dtr_wanted != 0 && serial->dtr_throttled != 0) return 0;
        return set_lines(fd, TIOCM_DTR, serial->dtr_wanted);
    }
    case COM_SETRTS: return set_lines(fd, TIOCM_RTS, 1);
    case COM_CLRRTS: return set_lines(fd, TIOCM_RTS, 0);
    default: return -1;
    }
}

int posix_modem_status(void *device, std::uint32_t *status) {
    int lines = 0;
    bool present = false;
    *status = 0;
    // No modem lines: every input line reads as off.
    if (get_lines(as_serial(device)->fd, &lines, &present) != 0) return -1;
    if (lines & TIOCM_CTS) *status |= COM_CTS_ON;
    if (lines & TIOCM_DSR) *status |= COM_DSR_ON;
    if (lines & TIOCM_RNG) *status |= COM_RING_ON;
    if (lines & TIOCM_CAR) *status |= COM_RLSD_ON;
    return 0;
}

int posix_line_errors(void *device, std::uint32_t *errors) {
    PosixSerial *serial = as_serial(device);
    *errors = 0;
    serial_icounter_struct now{};
    if (ioctl(serial->fd, TIOCGICOUNT, &now) != 0) {
        return (no_modem_lines(errno) || errno == EOPNOTSUPP) ? 0 : -1;
    }
    std::lock_guard<std::mutex> hold(serial->lock);
    if (serial->counts_known != 0) {
        const serial_icounter_struct &before = serial->counts;
        if (now.overrun != before.overrun || now.buf_overrun != before.buf_overrun) {
            *errors |= COM_ERROR_OVERRUN;
        }
        if (now.parity != before.parity) *errors |= COM_ERROR_PARITY;
        if (now.frame != before.frame) *errors |= COM_ERROR_FRAME;
        if (now.brk != before.brk) *errors |= COM_ERROR_BREAK;
    }
    serial->counts = now;
    serial->counts_known = 1;
    return 0;
}

int posix_set_break(void *device, int on) {
    if (ioctl(as_serial(device)->fd, on ? TIOCSBRK : TIOCCBRK) == 0) return 0;
    // A device that cannot send a break skips it.
    return (no_modem_lines(errno) || errno == EOPNOTSUPP) ? 0 : -1;
}

void posix_cancel(void *device, std::uint32_t which, int closing) {
    PosixSerial *serial = as_serial(device);
    std::lock_guard<std::mutex> hold(serial->lock);
    if (closing) {
        serial->closing = 1;
        serial->watch_stop = 1;
        serial->watch_wake.notify_all();
    }
    if ((which & COM_CANCEL_READ) && (closing || serial->reading)) {
        serial->read_cancelled = 1;
        wake_signal(serial->read_wake);
    }
    if ((which & COM_CANCEL_WRITE) && (closing || serial->writing)) {
        serial->write_cancelled = 1;
        wake_signal(serial->write_wake);
    }
}

// Input lines that a watched wait reports as changed.
constexpr int WATCHED_LINES = TIOCM_CAR | TIOCM_DSR | TIOCM_CTS | TIOCM_RNG;

int wait_events(PosixSerial *serial, ComWake *wake, int watch_lines, std::uint32_t timeout_ms,
                std::uint32_t *events) {
    bool forever = timeout_ms == COM_WAIT_FOREVER;
    std::uint64_t deadline = posix_monotonic_ms() + (forever ? 0 : timeout_ms);
    // The kernel offers TIOCMIWAIT, but only a signal can end it early; the lines are looked at
    // instead, and only on a device that has them (a pty's never change).
    int lines_before = 0;
    bool present = false;
    if (watch_lines && get_lines(serial->fd, &lines_before, &present) != 0) {
        *events = COM_EVENT_LINES;  // the caller's status read tells the rest
        return 0;
    }
    bool look_at_lines = watch_lines && present;
    for (;;) {
        int timeout = forever ? -1 : remaining_ms(deadline);
        if (look_at_lines && (timeout < 0 || timeout > static_cast<int>(COM_LINE_LOOK_MS))) {
            timeout = static_cast<int>(COM_LINE_LOOK_MS);
        }
        pollfd fds[3] = {
            {serial->fd, POLLIN, 0}, {serial->read_wake, POLLIN, 0}, {wake->fd, POLLIN, 0}};
        int ready = poll(fds, 3, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (fds[1].revents != 0) {
            if (transfer_cancelled(serial, &serial->read_cancelled)) return -1;
            wake_drain(serial->read_wake);
        }
        if (fds[0].revents & POLLNVAL) return -1;
        // A hang-up or an error is input too: the read that follows reports it.
        if (fds[0].revents != 0) *events |= COM_EVENT_INPUT;
        if (fds[2].revents != 0 && com_wake_take(wake)) *events |= COM_EVENT_WAKE;
        if (look_at_lines) {
            int lines = 0;
            if (get_lines(serial->fd, &lines, &present) != 0 ||
                ((lines ^ lines_before) & WATCHED_LINES) != 0) {
                *events |= COM_EVENT_LINES;
            }
        }
        if (*events != 0 || (!forever && remaining_ms(deadline) == 0)) return 0;
    }
}

int posix_wait(void *device, ComWake *wake, int watch_lines, std::uint32_t timeout_ms,
               std::uint32_t *events) {
    PosixSerial *serial = as_serial(device);
    if (wake == nullptr ||
        !transfer_begin(serial, &serial->reading, &serial->read_cancelled, serial->read_wake)) {
        return -1;
    }
    int result = wait_events(serial, wake, watch_lines, timeout_ms, events);
    // The read that follows finds its bytes there: it need not wait for them first.
    if (result == 0 && (*events & COM_EVENT_INPUT) != 0) serial->line_quiet = false;
    transfer_end(serial, &serial->reading);
    return result;
}

int posix_purge(void *device, std::uint32_t flags) {
    PosixSerial *serial = as_serial(device);
    std::uint32_t which = ((flags & COM_PURGE_RXABORT) ? COM_CANCEL_READ : 0) |
                          ((flags & COM_PURGE_TXABORT) ? COM_CANCEL_WRITE : 0);
    if (which != 0) posix_cancel(device, which, 0);
    bool input = (flags & COM_PURGE_RXCLEAR) != 0;
    bool output = (flags & COM_PURGE_TXCLEAR) != 0;
    if (!input && !output) return 0;
    return tcflush(serial->fd, input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH) == 0 ? 0
                                                                                              : -1;
}

}  // namespace

ComWake *com_wake_create() {
    ComWake *wake = new (std::nothrow) ComWake();
    if (wake == nullptr) return nullptr;
    wake->fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake->fd < 0) {
        delete wake;
        return nullptr;
    }
    return wake;
}

void com_wake_close(ComWake *wake) {
    if (wake == nullptr) return;
    close(wake->fd);
    delete wake;
}

void com_wake_signal(ComWake *wake) {
    if (wake != nullptr) wake_signal(wake->fd);
}

int com_wake_take(ComWake *wake) {
    std::uint64_t value = 0;
    for (;;) {
        if (read(wake->fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value)) return 1;
        if (errno != EINTR) return 0;
    }
}

void posix_serial_lend_lines(std::atomic<int> *inputs, std::atomic<int> *outputs) {
    lent_outputs.store(outputs);
    lent_inputs.store(inputs);
}

bool posix_speed_from_baud(std::uint32_t baud_rate, speed_t *speed) {
    for (const SpeedEntry &entry : SPEED_TABLE) {
        if (entry.baud_rate == baud_rate) {
            *speed = entry.speed;
            return true;
        }
    }
    return false;
}

bool posix_termios_from_dcb(const SerialDcb *dcb, termios *settings) {
    speed_t speed;
    if (!posix_speed_from_baud(dcb->baud_rate, &speed)) return false;
    tcflag_t size;
    switch (dcb->byte_size) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: return false;
    }
    tcflag_t parity;
    switch (dcb->parity) {
    case COM_PARITY_NONE: parity = 0; break;
    case COM_PARITY_ODD: parity = PARENB | PARODD; break;
    case COM_PARITY_EVEN: parity = PARENB; break;
    case COM_PARITY_MARK: parity = PARENB | CMSPAR | PARODD; break;
    case COM_PARITY_SPACE: parity = PARENB | CMSPAR; break;
    default: return false;
    }
    // A UART sends 1.5 stop bits only with 5 data bits, where CSTOPB means just that; Windows
    // refuses the other combinations too.
    tcflag_t stop;
    switch (dcb->stop_bits) {
    case COM_STOP_BITS_1: stop = 0; break;
    case COM_STOP_BITS_1_5:
        if (dcb->byte_size != 5) return false;
        stop = CSTOPB;
        break;
    case COM_STOP_BITS_2: stop = CSTOPB; break;
    default: return false;
    }

    termios result = *settings;
    cfmakeraw(&result);
    cfsetispeed(&result, speed);
    cfsetospeed(&result, speed);
    result.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    result.c_cflag |= size | parity | stop | CLOCAL | CREAD | HUPCL;
    // Linux has one switch for both halves of the RTS/CTS handshake.
    if (dcb->f_outx_cts_flow || dcb->f_rts_control == COM_LINE_CONTROL_HANDSHAKE) {
        result.c_cflag |= CRTSCTS;
    }
    // A received break is not turned into a NUL byte: Windows reports it aside from the data.
    result.c_iflag &= ~(INPCK | IGNPAR | PARMRK | ISTRIP | IXON | IXOFF | IXANY | BRKINT);
    result.c_iflag |= IGNBRK;
    // Windows hands a byte with a parity error over as received unless an error character is
    // asked for; Linux checking parity would hand over NUL instead.
    if (dcb->f_parity && dcb->f_error_char) result.c_iflag |= INPCK;
    if (dcb->f_out_x) result.c_iflag |= IXON;
    if (dcb->f_in_x) result.c_iflag |= IXOFF;
    result.c_cc[VSTART] = dcb->xon_char;
    result.c_cc[VSTOP] = dcb->xoff_char;
    result.c_cc[VMIN] = 1;
    result.c_cc[VTIME] = 0;
    *settings = result;
    return true;
}

const ComBackend com_os_backend = {
    .claims = nullptr,
    .open = posix_open,
    .get_state = posix_get_state,
    .set_state = posix_set_state,
    .get_timeouts = posix_get_timeouts,
    .set_timeouts = posix_set_timeouts,
    .read = posix_read,
    .write = posix_write,
    .escape = posix_escape,
    .modem_status = posix_modem_status,
    .line_errors = posix_line_errors,
    .set_break = posix_set_break,
    .purge = posix_purge,
    .cancel = posix_cancel,
    .close = posix_close,
    .wait = posix_wait,
};
