#pragma once

#include "velmora/failure.hpp"

namespace velmora::detail {

/// Makes `failure` what `currentFailure()` returns on this thread while the scope lives; the
/// previous value comes back when it ends (completions may nest through a scripted transport).
class FailureScope {
 public:
  explicit FailureScope(const Failure* failure) noexcept;
  ~FailureScope();
  FailureScope(const FailureScope&) = delete;
  FailureScope& operator=(const FailureScope&) = delete;

 private:
  const Failure* previous;
};

}  // namespace velmora::detail
