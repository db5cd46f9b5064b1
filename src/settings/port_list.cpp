// The port list operations. Structure changes happen on the UI thread under list_guard, so that a
// connection thread's allocation walk never sees a half-linked list.
#include "settings/port_list.h"

#include <atomic>
#include <cstring>
#include <new>

#include "modem/modem.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/thread.h"

// Records alive, in the list or held by a call. The guard is only closed when none is held, so a
// call that outlives a forced server stop still finds its lock.
static std::atomic<std::int32_t> live_records{0};

// Threads inside list_lock .. list_unlock. A connection thread that outlives a forced server stop
// may come to allocate while shutdown clears the list: the guard is unhooked first and closed only
// once nobody is using it, and each thread releases the guard it took, not whatever is hooked now.
static std::atomic<std::int32_t> lock_users{0};
static thread_local Semaphore *held_guard = nullptr;

void list_lock() {
    lock_users.fetch_add(1);
    Semaphore *guard = std::atomic_ref<Semaphore *>(port_list.list_guard).load();
    if (guard != nullptr) semaphore_wait(guard, WAIT_FOREVER_MS);
    held_guard = guard;
}

void list_unlock() {
    if (held_guard != nullptr) semaphore_release(held_guard);
    held_guard = nullptr;
    lock_users.fetch_sub(1);
}

void port_record_unreference(PortRecord *record) {
    if (record->references.fetch_sub(1) == 1) {
        // A record removed while busy kept its emulator for the call; it goes with the record.
        modem_stop(record);
        event_close(record->emulator_resume);
        delete record;
        live_records.fetch_sub(1);
    }
}

PortRecord *port_list_at_locked(std::int32_t position) {
    if (position < 0) return nullptr;
    PortRecord *record = port_list.head;
    for (std::int32_t i = 0; record != nullptr && i < position; ++i) record = record->next;
    return record;
}

PortRecord *port_list_at(std::int32_t position) {
    list_lock();
    PortRecord *record = port_list_at_locked(position);
    list_unlock();
    return record;
}

bool port_list_add(const PortSettings *settings) {
    PortRecord *record = new (std::nothrow) PortRecord{};
    if (record == nullptr) return false;
    std::memcpy(&record->settings, settings, sizeof record->settings);
    record->references.store(1);
    // Nobody is given the port until its emulator is in the state the settings ask for.
    record->emulator_restarting.store(1);
    live_records.fetch_add(1);

    list_lock();
    PortRecord *last = port_list.head;
    while (last != nullptr && last->next != nullptr) last = last->next;
    record->prev = last;
    if (last == nullptr) {
        port_list.head = record;
    } else {
        last->next = record;
    }
    port_list.port_count += 1;
    list_unlock();

    bool started = modem_restart(record) != 0;
    record->emulator_restarting.fetch_sub(1);
    return started;
}

bool port_list_update(PortRecord *record, const PortSettings *settings) {
    list_lock();
    std::memcpy(&record->settings, settings, sizeof record->settings);
    // A port no call holds is handed to nobody until its new emulator runs: a caller given it
    // while the emulator opens the port would make one of them fail.
    record->emulator_restarting.fetch_add(1);
    bool busy = record->busy.load() != 0;
    list_unlock();
    // A call that holds the port keeps it: the emulator takes the settings when the call ends.
    bool started = (busy ? modem_restart_after_call(record) : modem_restart(record)) != 0;
    record->emulator_restarting.fetch_sub(1);
    return started;
}

namespace {

// Unlinks the record at position; with stop_now, or when no call holds it, its emulator stops
// now, else when the call releases the record.
bool remove_at(std::int32_t position, bool stop_now) {
    list_lock();
    PortRecord *record = port_list_at_locked(position);
    if (record == nullptr) {
        list_unlock();
        return false;
    }
    if (record->prev != nullptr) record->prev->next = record->next;
    if (record->next != nullptr) record->next->prev = record->prev;
    if (port_list.head == record) port_list.head = record->next;
    record->next = nullptr;
    record->prev = nullptr;
    port_list.port_count -= 1;
    if (port_list.port_count == 0) port_list.head = nullptr;
    bool busy = record->busy.load() != 0;
    // A change left for after the call is of no use to a port that is gone.
    if (record->emulator_settings_changed.exchange(0) != 0) record->emulator_restarting.fetch_sub(1);
    list_unlock();

    // Unlinked first, so no caller can be given the port while its emulator stops.
    if (!busy || stop_now) modem_stop(record);
    port_record_unreference(record);
    return true;
}

}  // namespace

bool port_list_remove(std::int32_t position) { return remove_at(position, false); }

bool port_list_swap_next(std::int32_t position) {
    list_lock();
    PortRecord *a = port_list_at_locked(position);
    PortRecord *b = a == nullptr ? nullptr : a->next;
    if (b == nullptr) {
        list_unlock();
        return false;
    }
    PortRecord *before = a->prev;
    PortRecord *after = b->next;
    if (before != nullptr) {
        before->next = b;
    } else {
        port_list.head = b;
    }
    b->prev = before;
    b->next = a;
    a->prev = b;
    a->next = after;
    if (after != nullptr) after->prev = a;
    list_unlock();
    return true;
}

void port_list_clear() {
    // At shutdown the server has stopped: a call still holding a port was given up, and loses it.
    while (port_list.port_count != 0) {
        if (!remove_at(0, true)) break;
    }
    if (port_list.list_guard != nullptr && live_records.load() == 0) {
        Semaphore *guard = std::atomic_ref<Semaphore *>(port_list.list_guard).exchange(nullptr);
        while (lock_users.load() != 0) clock_sleep_ms(1);
        semaphore_close(guard);
    }
}
