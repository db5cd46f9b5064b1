// The modem emulator as the port list sees it: started when a port with modem emulation is added
// or changed, stopped when it is removed.
#pragma once

#include <cstdint>

#include "settings/settings.h"

// Stops the record's emulator if it runs, then starts it when its settings ask for emulation.
// 1 on success (at once when emulation is off), 0 when the emulator could not be started.
// UI thread.
std::int32_t modem_restart(PortRecord *record);

// Stops the record's emulator thread and closes its port. Always 1. UI thread.
std::int32_t modem_stop(PortRecord *record);
