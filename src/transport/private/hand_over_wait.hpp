#pragma once

#include <algorithm>
#include <chrono>

#include "transport/private/origin_queue.hpp"

namespace velmora::detail {

/// How long the I/O thread, with nothing else running, stays awake for the completions it has
/// just handed over: they usually make the next calls within microseconds, and a thread that
/// sleeps meanwhile must be woken for each of them. The wait is twice the time the last such
/// call took to arrive, between 2 and 100 microseconds; a call that took longer than the most
/// halves it, so that slow completions do not keep the thread busy. Touched by the I/O thread
/// only.
class HandOverWait {
 public:
  static constexpr std::chrono::microseconds kLeast{2};
  static constexpr std::chrono::microseconds kMost{100};

  /// Completions were handed over at `at`; the first call that arrives after it is timed.
  void handedOver(Clock::time_point at) {
    since = at;
    timing = true;
  }

  /// The completions ended without a call: nothing to learn from them.
  void nothingCame() { timing = false; }

  /// A call arrived at `at`. Learns from it when it is the first since a hand-over.
  void callArrived(Clock::time_point at) {
    if (!timing) return;
    timing = false;
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(at - since);
    length = took <= kMost ? std::clamp(2 * took, kLeast, kMost) : std::max(kLeast, length / 2);
  }

  /// When the wait that began at the last hand-over ends.
  Clock::time_point until() const { return since + length; }

 private:
  Clock::time_point since;
  bool timing = false;
  std::chrono::microseconds length = kMost;
};

}  // namespace velmora::detail
