#include "call/exchange.hpp"

#include <string>
#include <utility>

#include "text/output.hpp"

namespace velmora::detail {

std::optional<Failure> exchangeFailure(const HttpResponse& response, const Reporter& reporter) {
  Failure failure;
  failure.attempts = response.attempts;
  if (response.failed) {
    failure.kind = response.kind;
    failure.requestMayHaveArrived = response.requestMayHaveArrived;
    failure.message =
        joinWords({"error", response.error.empty() ? "Unknown error" : response.error});
    reporter.print(DiagnosticKind::Transport, failure.message);
    return failure;
  }
  if (response.status >= 200 && response.status <= 299) return std::nullopt;
  failure.kind = FailureKind::HttpStatus;
  failure.httpStatus = response.status;
  failure.message = "statusCode should be 2xx, but is " + std::to_string(response.status);
  reporter.print(DiagnosticKind::Status, failure.message);
  reporter.print(DiagnosticKind::Status, "response = " + response.description);
  return failure;
}

void reportThrown(const Reporter& reporter, std::exception_ptr thrown) {
  reporter.print(DiagnosticKind::Notice, thrownLine(std::move(thrown)));
}

}  // namespace velmora::detail
