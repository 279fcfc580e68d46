#include "soap/call.hpp"

#include <memory>
#include <string>
#include <utility>

#include "text/utf8.hpp"

namespace velmora::detail {

void postSoap(const ClientSettings& settings, const Reporter& reporter, std::string refusal,
              std::string envelope, const std::string& action, XmlCompletion answer) {
  auto onDone = [reporter, answer = std::move(answer)](HttpResponse& response) {
    std::optional<Failure> failure = exchangeFailure(response, reporter);
    answer(failure ? nullptr : xmlAnswerFromBody(response, reporter), failure);
  };
  if (!refusal.empty()) {
    failWithoutSending(std::move(refusal), std::move(onDone));
    return;
  }
  HttpRequest request = settings.request(settings.soapUrl);
  // The action goes unquoted: the service matches the header value as it is.
  request.headers = {"Content-Type: text/xml; charset=utf-8", "SOAPAction: " + action};
  request.body = std::move(envelope);
  // The service offers its SOAP endpoint over plain HTTP only.
  request.allowPlainHttp = true;
  send(std::move(request), std::move(onDone));
}

std::unique_ptr<XmlAnswer> xmlAnswerFromBody(HttpResponse& response, const Reporter& reporter) {
  reporter.print(DiagnosticKind::Answer, isValidUtf8(response.body)
                                             ? "Body: Optional(" + response.body + ")"
                                             : std::string("Body: nil"));
  return std::make_unique<XmlAnswer>(std::move(response.body));
}

std::unique_ptr<XmlAnswer> xmlAnswerFromResponse(HttpResponse& response) {
  const Reporter toStandardOutput("", nullptr);
  if (exchangeFailure(response, toStandardOutput)) return nullptr;
  return xmlAnswerFromBody(response, toStandardOutput);
}

}  // namespace velmora::detail
