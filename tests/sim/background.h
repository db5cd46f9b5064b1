// A function run on a platform thread, for tests that need a second party: a call that blocks
// while the test acts, or a stand-in for another thread of the gateway.
#pragma once

#include <cstdint>
#include <functional>

struct Background;  // belongs to the test until background_join has returned true

// Starts `work` on a new thread. Never null: a thread that cannot be started fails the test.
Background *background_start(std::function<void()> work);
// True once `work` has returned.
bool background_finished(Background *task);
// Waits up to timeout_ms for `work` to return; true then, and the task is freed. False at the
// time-out: the task still runs and stays the caller's.
[[nodiscard]] bool background_join(Background *task, std::uint32_t timeout_ms);
