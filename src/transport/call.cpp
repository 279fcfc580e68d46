#include "transport/call.hpp"

#include <utility>

#include "text/output.hpp"

namespace velmora::detail {

void Reporter::print(DiagnosticKind kind, std::string_view line) const {
  if (!sink_ || !*sink_) {
    printLine(line);
    return;
  }
  try {
    (*sink_)(Diagnostic{operation_, kind, line});
  } catch (...) {
    // The program's own sink failed; there is nowhere better to report that.
  }
}

std::string refusalLine(const Reporter& reporter, const Refusal& refusal) {
  if (refusal.isLine) return refusal.text;
  std::string line(reporter.operation());
  line.append(": ").append(refusal.text).append("; nothing sent");
  return line;
}

void failWithoutSending(std::string line, std::function<void(HttpResponse&)> onDone) {
  HttpResponse refused;
  refused.failed = true;
  refused.kind = FailureKind::RefusedInput;
  refused.requestMayHaveArrived = false;
  refused.errorIsLine = true;
  refused.error = std::move(line);
  // Completing later, on the completion thread, keeps one behaviour on every path: a caller
  // holding its own lock around the call cannot deadlock on its completion.
  transport().post(
      [refused = std::move(refused), onDone = std::move(onDone)]() mutable { onDone(refused); });
}

void send(HttpRequest request, std::function<void(HttpResponse&)> onDone) {
  transport().submit(std::move(request), std::move(onDone));
}

std::optional<Failure> exchangeFailure(const HttpResponse& response, const Reporter& reporter) {
  Failure failure;
  if (response.failed) {
    failure.kind = response.kind;
    failure.requestMayHaveArrived = response.requestMayHaveArrived;
    if (response.errorIsLine) {
      failure.message = response.error;
      reporter.print(DiagnosticKind::Refused, failure.message);
    } else {
      failure.message =
          joinWords({"error", response.error.empty() ? "Unknown error" : response.error});
      reporter.print(DiagnosticKind::Transport, failure.message);
    }
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
