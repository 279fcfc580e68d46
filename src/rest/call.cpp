#include "rest/call.hpp"

#include <utility>

#include "call/exchange.hpp"
#include "rest/answer.hpp"

namespace velmora::detail {

void postJson(CallQueue& queue, HttpRequest request, const std::string& authorization,
              const Reporter& reporter, std::string body, Repeat repeat,
              std::function<void(std::shared_ptr<Result>)> completion) {
  // The handler holds the completion and where to print, never the client: the client may go
  // first.
  auto onDone = [reporter, completion = std::move(completion)](HttpResponse& response) {
    JsonOutcome outcome = readJsonExchange(response, reporter);
    if (outcome.failure) outcome.failure->attempts = response.attempts;  // malformed ones too
    deliver(reporter, completion, std::move(outcome.result), outcome.failure, response.attempts);
  };
  request.url.append("/api/smsAPI/").append(reporter.operation());
  request.headers = {"Content-Type: application/json", "Authorization: " + authorization};
  if (!body.empty()) reporter.print(DiagnosticKind::RequestBody, body);
  request.body = std::move(body);
  queue.submit(std::move(request), std::move(onDone), repeat);
}

}  // namespace velmora::detail
