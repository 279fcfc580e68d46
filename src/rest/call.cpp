#include "rest/call.hpp"

#include <string_view>
#include <utility>

#include "call/exchange.hpp"
#include "rest/answer.hpp"

namespace velmora::detail {

std::string jsonUrl(const std::string& base, const char* operation) {
  constexpr std::string_view kPath = "/api/smsAPI/";
  const std::string_view name = operation;
  std::string url;
  url.reserve(base.size() + kPath.size() + name.size());
  url.append(base).append(kPath).append(name);
  return url;
}

void postJson(CallQueue& queue, HttpRequest request, const std::vector<std::string>& headers,
              CallContext context, std::string body, Repeat repeat,
              std::function<void(std::shared_ptr<Result>)> completion) {
  // The handler holds the completion, never the client: the client may go first.
  auto onDone = [completion = std::move(completion)](HttpResponse& response,
                                                     const CallContext& call) {
    JsonOutcome outcome = readJsonExchange(response, call);
    if (outcome.failure) outcome.failure->attempts = call.attempts;  // malformed ones too
    deliver(call, completion, std::move(outcome.result), outcome.failure, call.attempts);
  };
  context.url = request.url;
  request.headers = headers;
  if (!body.empty()) context.print(DiagnosticKind::RequestBody, body);
  request.body = std::move(body);
  queue.submit(std::move(request), std::move(context), std::move(onDone), repeat);
}

}  // namespace velmora::detail
