#include "soap/call.hpp"

#include <memory>
#include <string>
#include <utility>

#include "call/exchange.hpp"
#include "text/utf8.hpp"

namespace velmora::detail {

void postSoap(Transport& transport, HttpRequest request, const Reporter& reporter,
              std::string envelope, const std::string& action, XmlCompletion answer) {
  auto onDone = [reporter, answer = std::move(answer)](HttpResponse& response) {
    std::optional<Failure> failure = exchangeFailure(response, reporter);
    answer(failure ? nullptr : xmlAnswerFromBody(response, reporter), failure);
  };
  // The action goes unquoted: the service matches the header value as it is.
  request.headers = {"Content-Type: text/xml; charset=utf-8", "SOAPAction: " + action};
  request.body = std::move(envelope);
  // The service offers its SOAP endpoint over plain HTTP only.
  request.allowPlainHttp = true;
  transport.submit(std::move(request), std::move(onDone));
}

std::unique_ptr<XmlAnswer> xmlAnswerFromBody(HttpResponse& response, const Reporter& reporter) {
  reporter.print(DiagnosticKind::Answer, isValidUtf8(response.body)
                                             ? "Body: Optional(" + response.body + ")"
                                             : std::string("Body: nil"));
  return std::make_unique<XmlAnswer>(std::move(response.body), response.attempts);
}

}  // namespace velmora::detail
