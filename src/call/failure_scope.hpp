#pragma once

#include "velmora/failure.hpp"

namespace velmora::detail {

/// While the scope lives, `currentFailure()` returns `failure` on this thread and
/// `currentAttempts()` returns `attempts`; the previous values come back when it ends
/// (completions may nest through a scripted transport).
class FailureScope {
 public:
  FailureScope(const Failure* failure, int attempts) noexcept;
  ~FailureScope();
  FailureScope(const FailureScope&) = delete;
  FailureScope& operator=(const FailureScope&) = delete;

 private:
  const Failure* previous;
  int previousAttempts;
};

/// Inside a completion: how many times its call's request was tried (0 when nothing was sent).
/// Outside completions, and in a completion a substituted client runs itself, 1: a value or a
/// refusal needed one exchange at least.
int currentAttempts() noexcept;

/// The failure of the call whose completion runs on this thread, with its tries. A substituted
/// client's completion runs outside the library's scope: then only "the call failed" is known.
Failure failureOfCall();

}  // namespace velmora::detail
