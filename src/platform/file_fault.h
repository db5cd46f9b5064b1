// Internal to the file backends: the countdown behind file_fail_call.
#pragma once

// True when this file call is the one a test asked to fail.
bool file_fault_fires();
