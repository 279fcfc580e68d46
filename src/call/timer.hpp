#pragma once

#include <chrono>
#include <functional>

namespace velmora::detail {

/// The clock of every pause and deadline the calls keep themselves.
using SteadyClock = std::chrono::steady_clock;

/// Runs `task` at `when` (or soon after) on the process's one timer thread, started on first use.
/// Tasks run one at a time and must be short: they only hand requests on. A child made by fork()
/// gets a timer of its own on its first use; the parent's pending tasks are not carried over.
/// Any thread; never runs `task` inside this call.
void runAt(SteadyClock::time_point when, std::function<void()> task);

}  // namespace velmora::detail
