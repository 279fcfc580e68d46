// The calls a campaign waits for on its own thread: a lookup, a poll.

#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <future>
#include <string>
#include <utility>
#include <vector>

#include "velmora/campaign.hpp"
#include "velmora/future.hpp"

namespace velmora::campaign {

/// Where a campaign's lines go; does nothing without a receiver.
using Notice = std::function<void(const std::string& line)>;

/// Tells `notice` `line`, when there is a receiver.
inline void tell(const Notice& notice, const std::string& line) {
  if (notice) notice(line);
}

/// Starts one call through `start(completion)` and waits for its completion, at most
/// `waitSeconds`; past it the outcome is a Deadline failure. A typed operation's `Outcome<T>` is
/// handed back as it is.
template <class Value, class Start>
auto awaitCall(double waitSeconds, Start&& start) {
  auto future = toOutcomeFuture<Value>(std::forward<Start>(start));
  if (future.wait_for(std::chrono::duration<double>(waitSeconds)) != std::future_status::ready) {
    decltype(future.get()) late;
    late.failure = Failure();
    late.failure->kind = FailureKind::Deadline;
    late.failure->message = "no completion within " + std::to_string(waitSeconds) + " s";
    return late;
  }
  return future.get();
}

/// The clock `given`, or the system's.
std::shared_ptr<Clock> clockOr(const std::shared_ptr<Clock>& given);

}  // namespace velmora::campaign
