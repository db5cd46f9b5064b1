// Serial handles over the device tables: a handle names a slot and the slot's generation, so a
// handle that was closed can never reach whatever the slot holds later. Slots are made in chunks
// and never freed, which keeps even a stale handle's lookup on valid memory.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/fault.h"
#include "platform/serial.h"
#include "platform/serial_backend.h"

namespace {

constexpr std::uint32_t CHUNK_SLOTS = 64;
constexpr std::uint32_t MAX_CHUNKS = 64;  // 4096 devices open at once
constexpr std::uint32_t NO_SLOT = 0xFFFFFFFFu;
constexpr int MAX_TEST_BACKENDS = 8;

constexpr int SLOT_FREE = 0;
constexpr int SLOT_OPEN = 1;
constexpr int SLOT_CLOSING = 2;

struct ComSlot {
    std::mutex lock;
    std::condition_variable calls_left;  // in_flight reached 0 while closing
    std::uint32_t generation = 1;        // under lock; changes when the slot is freed
    int state = SLOT_FREE;               // under lock
    int in_flight = 0;                   // calls inside the backend; under lock
    const ComBackend *backend = nullptr; // under lock; fixed while in_flight > 0
    void *device = nullptr;              // under lock; fixed while in_flight > 0
    std::uint32_t next_free = NO_SLOT;   // under table_lock
};

struct ComChunk {
    ComSlot slots[CHUNK_SLOTS];
};

std::mutex table_lock;
std::atomic<ComChunk *> chunks[MAX_CHUNKS];     // published once, never freed
std::uint32_t chunk_count = 0;                  // under table_lock
std::uint32_t free_head = NO_SLOT;              // under table_lock
const ComBackend *test_backends[MAX_TEST_BACKENDS];  // under table_lock
int test_backend_count = 0;                     // under table_lock

ComSlot *slot_at(std::uint32_t index) {
    if (index >= MAX_CHUNKS * CHUNK_SLOTS) return nullptr;
    ComChunk *chunk = chunks[index / CHUNK_SLOTS].load(std::memory_order_acquire);
    return chunk == nullptr ? nullptr : &chunk->slots[index % CHUNK_SLOTS];
}

std::uint32_t handle_index(ComHandle handle) {
    return static_cast<std::uint32_t>(handle & 0xFFFFFFFFu) - 1;
}

std::uint32_t handle_generation(ComHandle handle) {
    return static_cast<std::uint32_t>(handle >> 32);
}

// Takes a free slot, making a new chunk when none is left. NO_SLOT when the table is full.
std::uint32_t slot_allocate() {
    std::lock_guard<std::mutex> hold(table_lock);
    if (free_head == NO_SLOT) {
        if (chunk_count == MAX_CHUNKS) return NO_SLOT;
        ComChunk *chunk = new (std::nothrow) ComChunk();
        if (chunk == nullptr) return NO_SLOT;
        std::uint32_t first = chunk_count * CHUNK_SLOTS;
        for (std::uint32_t i = 0; i < CHUNK_SLOTS; ++i) {
            chunk->slots[i].next_free = i + 1 < CHUNK_SLOTS ? first + i + 1 : NO_SLOT;
        }
        chunks[chunk_count].store(chunk, std::memory_order_release);
        ++chunk_count;
        free_head = first;
    }
    std::uint32_t index = free_head;
    free_head = slot_at(index)->next_free;
    return index;
}

// The backend and device of an open handle, with the call counted in flight; false when the
// handle is not open (never was, closed, or being closed).
bool call_enter(ComHandle handle, ComSlot **slot_out, const ComBackend **backend, void **device) {
    if (handle == COM_INVALID_HANDLE) return false;
    ComSlot *slot = slot_at(handle_index(handle));
    if (slot == nullptr) return false;
    std::lock_guard<std::mutex> hold(slot->lock);
    if (slot->generation != handle_generation(handle) || slot->state != SLOT_OPEN) return false;
    ++slot->in_flight;
    *slot_out = slot;
    *backend = slot->backend;
    *device = slot->device;
    return true;
}

void call_leave(ComSlot *slot) {
    std::lock_guard<std::mutex> hold(slot->lock);
    if (--slot->in_flight == 0 && slot->state == SLOT_CLOSING) slot->calls_left.notify_all();
}

// Runs one backend operation on an open handle; -1 when the handle is not open.
template <typename Operation>
int call_on(ComHandle handle, Operation operation) {
    ComSlot *slot;
    const ComBackend *backend;
    void *device;
    if (!call_enter(handle, &slot, &backend, &device)) return -1;
    int result = operation(backend, device);
    call_leave(slot);
    return result;
}

// The same for an operation that can fail for reasons of the device, which a test may make fail.
template <typename Operation>
int fallible_call_on(ComHandle handle, Operation operation) {
    if (platform_fault_fires()) return -1;
    return call_on(handle, operation);
}

const ComBackend *backend_for(const char *name) {
    std::lock_guard<std::mutex> hold(table_lock);
    for (int i = 0; i < test_backend_count; ++i) {
        if (test_backends[i]->claims != nullptr && test_backends[i]->claims(name)) {
            return test_backends[i];
        }
    }
    return &com_os_backend;
}

}  // namespace

int com_register_backend(const ComBackend *backend) {
    std::lock_guard<std::mutex> hold(table_lock);
    for (int i = 0; i < test_backend_count; ++i) {
        if (test_backends[i] == backend) return 0;
    }
    if (test_backend_count == MAX_TEST_BACKENDS) return -1;
    test_backends[test_backend_count++] = backend;
    return 0;
}

ComHandle com_open(const char *name) {
    if (name == nullptr || name[0] == '\0' || platform_fault_fires()) return COM_INVALID_HANDLE;
    const ComBackend *backend = backend_for(name);
    void *device = backend->open(name);
    if (device == nullptr) return COM_INVALID_HANDLE;
    std::uint32_t index = slot_allocate();
    if (index == NO_SLOT) {
        backend->close(device);
        return COM_INVALID_HANDLE;
    }
    ComSlot *slot = slot_at(index);
    std::lock_guard<std::mutex> hold(slot->lock);
    slot->state = SLOT_OPEN;
    slot->in_flight = 0;
    slot->backend = backend;
    slot->device = device;
    return (static_cast<ComHandle>(slot->generation) << 32) | (index + 1);
}

void com_close(ComHandle handle) {
    if (handle == COM_INVALID_HANDLE) return;
    std::uint32_t index = handle_index(handle);
    ComSlot *slot = slot_at(index);
    if (slot == nullptr) return;
    const ComBackend *backend;
    void *device;
    {
        std::lock_guard<std::mutex> hold(slot->lock);
        if (slot->generation != handle_generation(handle) || slot->state != SLOT_OPEN) return;
        slot->state = SLOT_CLOSING;  // from here on no new call gets in
        backend = slot->backend;
        device = slot->device;
    }
    // A write held back by flow control would otherwise keep the close waiting for ever.
    backend->cancel(device, COM_CANCEL_READ | COM_CANCEL_WRITE, 1);
    {
        std::unique_lock<std::mutex> hold(slot->lock);
        slot->calls_left.wait(hold, [slot] { return slot->in_flight == 0; });
    }
    backend->close(device);

    std::lock_guard<std::mutex> table_hold(table_lock);
    std::lock_guard<std::mutex> hold(slot->lock);
    // A new generation makes every copy of the old handle miss this slot for good; 0 is skipped
    // so that no handle ever equals COM_INVALID_HANDLE's generation.
    slot->generation = slot->generation + 1 == 0 ? 1 : slot->generation + 1;
    slot->state = SLOT_FREE;
    slot->backend = nullptr;
    slot->device = nullptr;
    slot->next_free = free_head;
    free_head = index;
}

int com_get_state(ComHandle handle, SerialDcb *dcb) {
    return fallible_call_on(handle,
                            [dcb](const ComBackend *b, void *d) { return b->get_state(d, dcb); });
}

int com_set_state(ComHandle handle, const SerialDcb *dcb) {
    return fallible_call_on(handle,
                            [dcb](const ComBackend *b, void *d) { return b->set_state(d, dcb); });
}

int com_get_timeouts(ComHandle handle, SerialTimeouts *timeouts) {
    return fallible_call_on(handle, [timeouts](const ComBackend *b, void *d) {
        return b->get_timeouts(d, timeouts);
    });
}

int com_set_timeouts(ComHandle handle, const SerialTimeouts *timeouts) {
    return fallible_call_on(handle, [timeouts](const ComBackend *b, void *d) {
        return b->set_timeouts(d, timeouts);
    });
}

int com_read(ComHandle handle, void *buffer, std::uint32_t maximum, std::uint32_t *count) {
    *count = 0;
    int result = fallible_call_on(handle, [=](const ComBackend *b, void *d) {
        return b->read(d, buffer, maximum, count);
    });
    if (result != 0) *count = 0;
    return result;
}

int com_write(ComHandle handle, const void *data, std::uint32_t length, std::uint32_t *count) {
    *count = 0;
    return fallible_call_on(
        handle, [=](const ComBackend *b, void *d) { return b->write(d, data, length, count); });
}

int com_escape(ComHandle handle, std::uint32_t code) {
    if (code != COM_SETDTR && code != COM_CLRDTR && code != COM_SETRTS && code != COM_CLRRTS) {
        return -1;
    }
    return fallible_call_on(handle,
                            [code](const ComBackend *b, void *d) { return b->escape(d, code); });
}

int com_modem_status(ComHandle handle, std::uint32_t *status) {
    *status = 0;
    return fallible_call_on(
        handle, [status](const ComBackend *b, void *d) { return b->modem_status(d, status); });
}

int com_line_errors(ComHandle handle, std::uint32_t *errors) {
    *errors = 0;
    int result = fallible_call_on(handle, [errors](const ComBackend *b, void *d) {
        return b->line_errors == nullptr ? 0 : b->line_errors(d, errors);
    });
    if (result != 0) *errors = 0;
    return result;
}

int com_set_break(ComHandle handle) {
    return fallible_call_on(handle,
                            [](const ComBackend *b, void *d) { return b->set_break(d, 1); });
}

int com_clear_break(ComHandle handle) {
    return fallible_call_on(handle,
                            [](const ComBackend *b, void *d) { return b->set_break(d, 0); });
}

int com_purge(ComHandle handle, std::uint32_t flags) {
    return fallible_call_on(handle,
                            [flags](const ComBackend *b, void *d) { return b->purge(d, flags); });
}

int com_cancel(ComHandle handle) {
    return call_on(handle, [](const ComBackend *b, void *d) {
        b->cancel(d, COM_CANCEL_READ | COM_CANCEL_WRITE, 0);
        return 0;
    });
}

int com_can_wait(ComHandle handle) {
    int can =
        call_on(handle, [](const ComBackend *b, void *) { return b->wait != nullptr ? 1 : 0; });
    return can == 1 ? 1 : 0;
}

int com_wait(ComHandle handle, ComWake *wake, int watch_lines, std::uint32_t timeout_ms,
             std::uint32_t *events) {
    *events = 0;
    int result = fallible_call_on(handle, [=](const ComBackend *b, void *d) {
        return b->wait == nullptr ? -1 : b->wait(d, wake, watch_lines, timeout_ms, events);
    });
    if (result != 0) *events = 0;
    return result;
}
