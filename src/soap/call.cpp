#include "soap/call.hpp"

#include <memory>
#include <string>
#include <utility>

#include "call/exchange.hpp"
#include "text/utf8.hpp"

namespace velmora::detail {

void postSoap(CallQueue& queue, HttpRequest request, CallContext context, std::string envelope,
              const std::string& action, XmlCompletion answer) {
  auto onDone = [answer = std::move(answer)](HttpResponse& response, const CallContext& call) {
    std::optional<Failure> failure = exchangeFailure(response, call);
    answer(failure ? nullptr : xmlAnswerFromBody(response, call), failure, call);
  };
  context.url = request.url;
  // The action goes unquoted: the service matches the header value as it is.
  request.headers = {"Content-Type: text/xml; charset=utf-8", "SOAPAction: " + action};
  request.body = std::move(envelope);
  // The service offers its SOAP endpoint over plain HTTP only.
  request.allowPlainHttp = true;
  queue.submit(std::move(request), std::move(context), std::move(onDone));
}

std::unique_ptr<XmlAnswer> xmlAnswerFromBody(HttpResponse& response, const CallContext& context) {
  context.print(DiagnosticKind::Answer, isValidUtf8(response.body)
                                            ? "Body: Optional(" + response.body + ")"
                                            : std::string("Body: nil"));
  return std::make_unique<XmlAnswer>(std::move(response.body));
}

}  // namespace velmora::detail
