// Internal to the backends: the countdowns behind the test hooks file_fail_call and
// net_fail_send. A disarmed countdown costs one atomic load per call.
#pragma once

// True when this file call is the one a test asked to fail.
bool file_fault_fires();
// True when this socket send is the one a test asked to fail.
bool send_fault_fires();
