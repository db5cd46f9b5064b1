// Internal to the platform layer: the countdowns behind the test hooks (file_fail_call,
// net_fail_send and the hooks of faults.h). A disarmed countdown costs an atomic load or two per
// call.
#pragma once

// Counts one platform call of the calling thread (unless it is exempt) and tells whether it is the
// one platform_fail_call asked to fail. Every fallible call of the layer asks it first.
bool platform_fault_fires();
// The same for a file call, which file_fail_call can also make fail.
bool file_fault_fires();
// The same for a socket send, which net_fail_send can also make fail.
bool send_fault_fires();
// Makes a reverse lookup as slow as net_delay_lookup asked.
void lookup_delay();
