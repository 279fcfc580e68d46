#include "rest/call.hpp"

#include <utility>

#include "call/exchange.hpp"
#include "rest/answer.hpp"

namespace velmora::detail {

void postJson(CallQueue& queue, HttpRequest request, const std::string& authorization,
              CallContext context, std::string body, Repeat repeat,
              std::function<void(std::shared_ptr<Result>)> completion) {
  // The handler holds the completion, never the client: the client may go first.
  auto onDone = [completion = std::move(completion)](HttpResponse& response,
                                                     const CallContext& call) {
    JsonOutcome outcome = readJsonExchange(response, call);
    if (outcome.failure) outcome.failure->attempts = call.attempts;  // malformed ones too
    deliver(call, completion, std::move(outcome.result), outcome.failure, call.attempts);
  };
  request.url.append("/api/smsAPI/").append(context.operation);
  context.url = request.url;
  request.headers = {"Content-Type: application/json", "Authorization: " + authorization};
  if (!body.empty()) context.print(DiagnosticKind::RequestBody, body);
  request.body = std::move(body);
  queue.submit(std::move(request), std::move(context), std::move(onDone), repeat);
}

}  // namespace velmora::detail
