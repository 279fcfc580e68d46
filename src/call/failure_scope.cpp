#include "call/failure_scope.hpp"

namespace velmora {
namespace {
thread_local const Failure* current = nullptr;
}  // namespace

const Failure* currentFailure() noexcept {
  return current;
}

namespace detail {

FailureScope::FailureScope(const Failure* failure) noexcept : previous(current) {
  current = failure;
}

FailureScope::~FailureScope() {
  current = previous;
}

}  // namespace detail
}  // namespace velmora
