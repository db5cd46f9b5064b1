// Win32 COM ports with overlapped I/O. Each direction has its own overlapped record and a cancel
// event: a transfer waits on both, and a cancel ends it with CancelIoEx, then waits until the
// device has let go of the buffer. Nothing is ever terminated.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>

#include "platform/serial_backend.h"

static_assert(sizeof(DCB) == COM_DCB_LENGTH);

namespace {

// Wine ends an empty overlapped read with its time-out as this error instead of success with 0.
constexpr DWORD WINE_READ_TIMEOUT = 1460;

struct Direction {
    OVERLAPPED overlapped;  // its event is manual-reset, as the overlapped calls need
    HANDLE cancel;          // manual-reset; set by a cancel aimed at the running transfer
    int active;             // under lock: a transfer runs in this direction
};

constexpr int MAX_OPEN_NAMES = 256;

struct Win32Serial {
    HANDLE handle = INVALID_HANDLE_VALUE;
    char path[MAX_PATH] = {};  // the device path, upper case; empty until the open succeeded
    SRWLOCK lock = SRWLOCK_INIT;
    int closing = 0;  // under lock
    Direction read{};
    Direction write{};
};

Win32Serial *as_serial(void *device) { return static_cast<Win32Serial *>(device); }

// Windows opens a port for one handle at a time; wine does not enforce that, so the devices open in
// this process are also kept here and a second open of one of them is refused.
SRWLOCK open_names_lock = SRWLOCK_INIT;
Win32Serial *open_names[MAX_OPEN_NAMES];  // under open_names_lock

bool name_claim(Win32Serial *serial) {
    AcquireSRWLockExclusive(&open_names_lock);
    int free_slot = -1;
    bool taken = false;
    for (int i = 0; i < MAX_OPEN_NAMES; ++i) {
        if (open_names[i] == nullptr) {
            if (free_slot < 0) free_slot = i;
        } else if (std::strcmp(open_names[i]->path, serial->path) == 0) {
            taken = true;
        }
    }
    if (!taken && free_slot >= 0) open_names[free_slot] = serial;
    ReleaseSRWLockExclusive(&open_names_lock);
    return !taken && free_slot >= 0;
}

void name_release(Win32Serial *serial) {
    AcquireSRWLockExclusive(&open_names_lock);
    for (Win32Serial *&entry : open_names) {
        if (entry == serial) entry = nullptr;
    }
    ReleaseSRWLockExclusive(&open_names_lock);
}

class Hold {
public:
    explicit Hold(SRWLOCK *lock) : lock_(lock) { AcquireSRWLockExclusive(lock_); }
    ~Hold() { ReleaseSRWLockExclusive(lock_); }
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;

private:
    SRWLOCK *lock_;
};

void win32_close(void *device) {
    Win32Serial *serial = as_serial(device);
    name_release(serial);
    if (serial->handle != INVALID_HANDLE_VALUE) CloseHandle(serial->handle);
    for (Direction *direction : {&serial->read, &serial->write}) {
        if (direction->overlapped.hEvent != nullptr) CloseHandle(direction->overlapped.hEvent);
        if (direction->cancel != nullptr) CloseHandle(direction->cancel);
    }
    delete serial;
}

void *win32_open(const char *name) {
    Win32Serial *serial = new (std::nothrow) Win32Serial();
    if (serial == nullptr) return nullptr;
    // The device namespace prefix lets COM10 and above open too; "COM1" alone only reaches 1-9.
    const char *prefix = (name[0] == '\\') ? "" : "\\\\.\\";
    if (std::snprintf(serial->path, sizeof serial->path, "%s%s", prefix, name) >=
        static_cast<int>(sizeof serial->path)) {
        delete serial;
        return nullptr;
    }
    // Device names compare without regard to case. Only single-byte ASCII letters are folded: a
    // double-byte character's trail byte may look like one.
    for (char *c = serial->path; *c != '\0'; ++c) {
        if (IsDBCSLeadByte(static_cast<BYTE>(*c))) {
            if (*++c == '\0') break;
        } else if (*c >= 'a' && *c <= 'z') {
            *c = static_cast<char>(*c - 'a' + 'A');
        }
    }
    if (!name_claim(serial)) {
        delete serial;
        return nullptr;
    }
    serial->handle = CreateFileA(serial->path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    bool made = serial->handle != INVALID_HANDLE_VALUE &&
                GetFileType(serial->handle) == FILE_TYPE_CHAR;
    for (Direction *direction : {&serial->read, &serial->write}) {
        direction->overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        direction->cancel = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        made = made && direction->overlapped.hEvent != nullptr && direction->cancel != nullptr;
    }
    if (!made) {
        win32_close(serial);
        return nullptr;
    }
    return serial;
}

int win32_get_state(void *device, SerialDcb *dcb) {
    DCB block{};
    block.DCBlength = sizeof block;
    if (!GetCommState(as_serial(device)->handle, &block)) return -1;
    dcb->dcb_length = block.DCBlength;
    dcb->baud_rate = block.BaudRate;
    dcb->f_binary = block.fBinary;
    dcb->f_parity = block.fParity;
    dcb->f_outx_cts_flow = block.fOutxCtsFlow;
    dcb->f_outx_dsr_flow = block.fOutxDsrFlow;
    dcb->f_dtr_control = block.fDtrControl;
    dcb->f_dsr_sensitivity = block.fDsrSensitivity;
    dcb->f_tx_continue_on_xoff = block.fTXContinueOnXoff;
    dcb->f_out_x = block.fOutX;
    dcb->f_in_x = block.fInX;
    dcb->f_error_char = block.fErrorChar;
    dcb->f_null = block.fNull;
    dcb->f_rts_control = block.fRtsControl;
    dcb->f_abort_on_error = block.fAbortOnError;
    dcb->xon_lim = block.XonLim;
    dcb->xoff_lim = block.XoffLim;
    dcb->byte_size = block.ByteSize;
    dcb->parity = block.Parity;
    dcb->stop_bits = block.StopBits;
    dcb->xon_char = static_cast<std::uint8_t>(block.XonChar);
    dcb->xoff_char = static_cast<std::uint8_t>(block.XoffChar);
    dcb->error_char = static_cast<std::uint8_t>(block.ErrorChar);
    dcb->eof_char = static_cast<std::uint8_t>(block.EofChar);
    dcb->evt_char = static_cast<std::uint8_t>(block.EvtChar);
    return 0;
}

int win32_set_state(void *device, const SerialDcb *dcb) {
    DCB block{};
    block.DCBlength = sizeof block;
    block.BaudRate = dcb->baud_rate;
    block.fBinary = dcb->f_binary & 1;
    block.fParity = dcb->f_parity & 1;
    block.fOutxCtsFlow = dcb->f_outx_cts_flow & 1;
    block.fOutxDsrFlow = dcb->f_outx_dsr_flow & 1;
    block.fDtrControl = dcb->f_dtr_control & 3;
    block.fDsrSensitivity = dcb->f_dsr_sensitivity & 1;
    block.fTXContinueOnXoff = dcb->f_tx_continue_on_xoff & 1;
    block.fOutX = dcb->f_out_x & 1;
    block.fInX = dcb->f_in_x & 1;
    block.fErrorChar = dcb->f_error_char & 1;
    block.fNull = dcb->f_null & 1;
    block.fRtsControl = dcb->f_rts_control & 3;
    block.fAbortOnError = dcb->f_abort_on_error & 1;
    block.XonLim = dcb->xon_lim;
    block.XoffLim = dcb->xoff_lim;
    block.ByteSize = dcb->byte_size;
    block.Parity = dcb->parity;
    block.StopBits = dcb->stop_bits;
    block.XonChar = static_cast<char>(dcb->xon_char);
    block.XoffChar = static_cast<char>(dcb->xoff_char);
    block.ErrorChar = static_cast<char>(dcb->error_char);
    block.EofChar = static_cast<char>(dcb->eof_char);
    block.EvtChar = static_cast<char>(dcb->evt_char);
    return SetCommState(as_serial(device)->handle, &block) ? 0 : -1;
}

int win32_get_timeouts(void *device, SerialTimeouts *timeouts) {
    COMMTIMEOUTS block{};
    if (!GetCommTimeouts(as_serial(device)->handle, &block)) return -1;
    timeouts->read_interval_timeout = block.ReadIntervalTimeout;
    timeouts->read_total_timeout_multiplier = block.ReadTotalTimeoutMultiplier;
    timeouts->read_total_timeout_constant = block.ReadTotalTimeoutConstant;
    timeouts->write_total_timeout_multiplier = block.WriteTotalTimeoutMultiplier;
    timeouts->write_total_timeout_constant = block.WriteTotalTimeoutConstant;
    return 0;
}

int win32_set_timeouts(void *device, const SerialTimeouts *timeouts) {
    COMMTIMEOUTS block{timeouts->read_interval_timeout, timeouts->read_total_timeout_multiplier,
                       timeouts->read_total_timeout_constant,
                       timeouts->write_total_timeout_multiplier,
                       timeouts->write_total_timeout_constant};
    return SetCommTimeouts(as_serial(device)->handle, &block) ? 0 : -1;
}

// Registers the caller as the running transfer of the direction. False when the device closes.
bool transfer_begin(Win32Serial *serial, Direction *direction) {
    Hold hold(&serial->lock);
    if (serial->closing) return false;
    direction->active = 1;
    ResetEvent(direction->cancel);  // a cancel meant for an earlier transfer is not for this one
    HANDLE event = direction->overlapped.hEvent;
    direction->overlapped = OVERLAPPED{};
    direction->overlapped.hEvent = event;
    return true;
}

void transfer_end(Win32Serial *serial, Direction *direction) {
    Hold hold(&serial->lock);
    direction->active = 0;
}

// Finishes a started transfer: `started` and `error` are what ReadFile or WriteFile said. Waits
// for completion or a cancel; after a cancel the buffer is the device's until the cancelled call
// has completed, so that is waited for too.
int transfer_finish(Win32Serial *serial, Direction *direction, BOOL started, DWORD error,
                    std::uint32_t *count) {
    DWORD done = 0;
    if (!started && error != ERROR_IO_PENDING) {
        if (error == WINE_READ_TIMEOUT) return 0;
        return -1;
    }
    HANDLE events[2] = {direction->overlapped.hEvent, direction->cancel};
    for (;;) {
        DWORD woke = started ? WAIT_OBJECT_0 : WaitForMultipleObjects(2, events, FALSE, INFINITE);
        if (woke == WAIT_OBJECT_0) {
            if (GetOverlappedResult(serial->handle, &direction->overlapped, &done, FALSE)) {
                *count = done;
                return 0;
            }
            DWORD failure = GetLastError();
            if (failure == ERROR_IO_INCOMPLETE) {
                started = FALSE;
                continue;
            }
            if (failure == WINE_READ_TIMEOUT) {
                *count = done;
                return 0;
            }
            return -1;
        }
        CancelIoEx(serial->handle, &direction->overlapped);
        // A write cut short still tells what went before, as the header promises.
        GetOverlappedResult(serial->handle, &direction->overlapped, &done, TRUE);
        *count = done;
        return -1;
    }
}

int win32_read(void *device, void *buffer, std::uint32_t maximum, std::uint32_t *count) {
    Win32Serial *serial = as_serial(device);
    if (!transfer_begin(serial, &serial->read)) return -1;
    BOOL started = ReadFile(serial->handle, buffer, maximum, nullptr, &serial->read.overlapped);
    DWORD error = started ? ERROR_SUCCESS : GetLastError();
    int result = transfer_finish(serial, &serial->read, started, error, count);
    transfer_end(serial, &serial->read);
    return result;
}

int win32_write(void *device, const void *data, std::uint32_t length, std::uint32_t *count) {
    Win32Serial *serial = as_serial(device);
    if (!transfer_begin(serial, &serial->write)) return -1;
    BOOL started = WriteFile(serial->handle, data, length, nullptr, &serial->write.overlapped);
    DWORD error = started ? ERROR_SUCCESS : GetLastError();
    int result = transfer_finish(serial, &serial->write, started, error, count);
    transfer_end(serial, &serial->write);
    return result;
}

int win32_escape(void *device, std::uint32_t code) {
    return EscapeCommFunction(as_serial(device)->handle, code) ? 0 : -1;
}

int win32_line_errors(void *device, std::uint32_t *errors) {
    DWORD flags = 0;
    if (!ClearCommError(as_serial(device)->handle, &flags, nullptr)) return -1;
    *errors = flags & (COM_ERROR_OVERRUN | COM_ERROR_PARITY | COM_ERROR_FRAME | COM_ERROR_BREAK);
    if (flags & CE_RXOVER) *errors |= COM_ERROR_OVERRUN;  // the driver's buffer overflowed
    return 0;
}

int win32_modem_status(void *device, std::uint32_t *status) {
    DWORD lines = 0;
    if (!GetCommModemStatus(as_serial(device)->handle, &lines)) return -1;
    *status = lines & (COM_CTS_ON | COM_DSR_ON | COM_RING_ON | COM_RLSD_ON);
    return 0;
}

int win32_set_break(void *device, int on) {
    HANDLE handle = as_serial(device)->handle;
    return (on ? SetCommBreak(handle) : ClearCommBreak(handle)) ? 0 : -1;
}

int win32_purge(void *device, std::uint32_t flags) {
    return PurgeComm(as_serial(device)->handle, flags) ? 0 : -1;
}

void win32_cancel(void *device, std::uint32_t which, int closing) {
    Win32Serial *serial = as_serial(device);
    Hold hold(&serial->lock);
    if (closing) serial->closing = 1;
    if ((which & COM_CANCEL_READ) && (closing || serial->read.active)) {
        SetEvent(serial->read.cancel);
    }
    if ((which & COM_CANCEL_WRITE) && (closing || serial->write.active)) {
        SetEvent(serial->write.cancel);
    }
}

}  // namespace

// Windows keeps its users polling (the device has no wait here), so the wake-up only has to be
// taken and given.
struct ComWake {
    std::atomic<int> signalled{0};
};

ComWake *com_wake_create() { return new (std::nothrow) ComWake(); }

void com_wake_close(ComWake *wake) { delete wake; }

void com_wake_signal(ComWake *wake) {
    if (wake != nullptr) wake->signalled.store(1);
}

int com_wake_take(ComWake *wake) { return wake->signalled.exchange(0); }

const ComBackend com_os_backend = {
    .claims = nullptr,
    .open = win32_open,
    .get_state = win32_get_state,
    .set_state = win32_set_state,
    .get_timeouts = win32_get_timeouts,
    .set_timeouts = win32_set_timeouts,
    .read = win32_read,
    .write = win32_write,
    .escape = win32_escape,
    .modem_status = win32_modem_status,
    .line_errors = win32_line_errors,
    .set_break = win32_set_break,
    .purge = win32_purge,
    .cancel = win32_cancel,
    .close = win32_close,
    .wait = nullptr,  // the relay polls here, reading every 50 ms
};
