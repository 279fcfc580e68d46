#include "call/refusal.hpp"

#include <utility>

namespace velmora::detail {

std::string refusalLine(const char* operation, const Refusal& refusal) {
  std::string line(operation);
  line.append(": ").append(refusal.reason).append("; nothing was sent");
  return line;
}

void refuse(CallQueue& queue, const CallContext& context, const Refusal& refusal,
            std::function<void(const Failure&)> fail) {
  Failure failure;
  failure.kind = FailureKind::RefusedInput;
  failure.message = refusalLine(context.operation, refusal);
  failure.requestMayHaveArrived = false;
  failure.attempts = 0;
  queue.post([context, failure = std::move(failure), fail = std::move(fail)] {
    context.print(DiagnosticKind::Refused, failure.message);
    fail(failure);
  });
}

}  // namespace velmora::detail
