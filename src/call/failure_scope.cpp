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

}  // namespace detail
}  // namespace velmora
