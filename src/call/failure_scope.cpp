#include "call/failure_scope.hpp"

namespace velmora {
namespace {

thread_local const Failure* current = nullptr;
thread_local int currentTries = 1;

}  // namespace

const Failure* currentFailure() noexcept {
  return current;
}

namespace detail {

FailureScope::FailureScope(const Failure* failure, int attempts) noexcept
    : previous(current), previousAttempts(currentTries) {
  current = failure;
  currentTries = attempts;
}

FailureScope::~FailureScope() {
  current = previous;
  currentTries = previousAttempts;
}

int currentAttempts() noexcept {
  return currentTries;
}

Failure failureOfCall() {
  Failure failure;
  if (current != nullptr) {
    failure = *current;
  } else {
    failure.message = "the call failed";
  }
  failure.attempts = currentTries;
  return failure;
}

}  // namespace detail
}  // namespace velmora
