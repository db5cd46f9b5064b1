// Operations on the port list: find by position, add, replace settings, remove, swap with the
// successor, clear, and the list lock. The UI thread changes the list; connection threads only
// allocate and release ports (under the same lock), so a change never races an allocation.
#pragma once

#include <cstdint>

#include "settings/settings.h"

// The record at position (0 = head), or null when the list ends before it. UI thread.
PortRecord *port_list_at(std::int32_t position);
// The same for a caller that holds list_lock.
PortRecord *port_list_at_locked(std::int32_t position);

// Appends a record with these settings and puts its modem emulator in the state the settings ask
// for. False when no record could be made (the list is then unchanged) or the emulator could not
// be started (the record then stays in the list, without emulator). UI thread.
[[nodiscard]] bool port_list_add(const PortSettings *settings);

// Replaces a record's settings, then restarts its emulator as the settings ask. A call in progress
// keeps the port and its active_settings: its emulator takes the new settings when the call has
// released the port (modem_restart_after_call), so nothing waits for the call. False when the
// emulator could not be started (the settings stay replaced). UI thread.
[[nodiscard]] bool port_list_update(PortRecord *record, const PortSettings *settings);

// Unlinks the record at position and stops its emulator. A busy record keeps its emulator and its
// port for the call, and both go when the call releases the record. False when there is no such
// record. UI thread.
bool port_list_remove(std::int32_t position);

// Exchanges the record at position with its successor. False (nothing changed) when either is
// missing. UI thread.
bool port_list_swap_next(std::int32_t position);

// Removes every record and stops every emulator, also one whose port a call still holds (after
// a forced server stop), then closes the list guard. UI thread.
void port_list_clear();

// Takes list_guard without a time limit (nothing to take before the first load). Any thread.
void list_lock();
// Releases list_guard.
void list_unlock();

// Drops one reference to a record; the last one stops its emulator (modem_stop) and frees it. Any
// thread, without list_guard held.
void port_record_unreference(PortRecord *record);
