#include "rest/call.hpp"

#include <utility>

#include "rest/answer.hpp"

namespace velmora::detail {

void postJson(const ClientSettings& settings, const std::string& authorization,
              const char* operation, JsonBody body,
              std::function<void(std::shared_ptr<Result>)> completion) {
  Reporter reporter = settings.reporter(operation);
  // The handler holds the completion and where to print, never the client: the client may go
  // first.
  auto onDone = [reporter, completion = std::move(completion)](HttpResponse& response) {
    JsonOutcome outcome = readJsonExchange(response, reporter);
    deliver(reporter, completion, std::move(outcome.result), outcome.failure);
  };
  const Refusal refusal = settings.restRefusal ? settings.restRefusal : Refusal{body.refusal};
  if (refusal) {
    failWithoutSending(refusalLine(reporter, refusal), std::move(onDone));
    return;
  }
  HttpRequest request = settings.request(settings.restBase + "/api/smsAPI/" + operation);
  request.headers = {"Content-Type: application/json", "Authorization: " + authorization};
  if (!body.text.empty()) reporter.print(DiagnosticKind::RequestBody, body.text);
  request.body = std::move(body.text);
  send(std::move(request), std::move(onDone));
}

}  // namespace velmora::detail
