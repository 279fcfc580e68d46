#include "call/exchange.hpp"

#include <string>
#include <utility>

#include "text/output.hpp"

namespace velmora::detail {

std::string describeResponse(const HttpResponse& response, const std::string& url) {
  std::string text = "<HTTPResponse> { URL: " + url +
                     " } { Status Code: " + std::to_string(response.status) +
                     ", Status Line: " + response.statusLine + ", Headers {";
  for (std::size_t i = 0; i < response.headers.size(); ++i) {
    text.append(i == 0 ? " " : "; ").append(response.headers[i]);
  }
  return text + " } }";
}

std::optional<Failure> exchangeFailure(const HttpResponse& response, const CallContext& context) {
  Failure failure;
  failure.attempts = context.attempts;
  if (response.failed) {
    failure.kind = response.kind;
    failure.requestMayHaveArrived = response.requestMayHaveArrived;
    failure.message =
        joinWords({"error", response.error.empty() ? "Unknown error" : response.error});
    context.print(DiagnosticKind::Transport, failure.message);
    return failure;
  }
  if (response.status >= 200 && response.status <= 299) return std::nullopt;
  failure.kind = FailureKind::HttpStatus;
  failure.httpStatus = response.status;
  failure.message = "statusCode should be 2xx, but is " + std::to_string(response.status);
  context.print(DiagnosticKind::Status, failure.message);
  context.print(DiagnosticKind::Status, "response = " + describeResponse(response, context.url));
  return failure;
}

void reportThrown(const CallContext& context, std::exception_ptr thrown) {
  context.print(DiagnosticKind::Notice, thrownLine(std::move(thrown)));
}

}  // namespace velmora::detail
