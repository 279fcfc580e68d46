#include "call/refusal.hpp"

#include <utility>

namespace velmora::detail {

std::string refusalLine(const char* operation, const Refusal& refusal) {
  std::string line(operation);
  line.append(": ").append(refusal.reason).append("; nothing was sent");
  return line;
}

void refuse(Transport& transport, const Reporter& reporter, const Refusal& refusal,
            std::function<void(const Failure&)> fail) {
  Failure failure;
  failure.kind = FailureKind::RefusedInput;
  failure.message = refusalLine(reporter.operation(), refusal);
  failure.requestMayHaveArrived = false;
  failure.attempts = 0;
  transport.post([reporter, failure = std::move(failure), fail = std::move(fail)] {
    reporter.print(DiagnosticKind::Refused, failure.message);
    fail(failure);
  });
}

}  // namespace velmora::detail
