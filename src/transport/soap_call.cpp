#include "transport/soap_call.hpp"

#include <memory>
#include <string>
#include <utility>

#include "client_settings.hpp"
#include "utf8.hpp"
#include "velmora/client.hpp"

namespace velmora {
namespace detail {

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

}  // namespace detail

const std::string& Velmora::FastSendWSURL() {
  // A function-local static is initialised exactly once, even on concurrent first use.
  static const std::string url = VELMORA_DEFAULT_SOAP_URL;
  return url;
}

void Velmora::callSOAP(const detail::Reporter& reporter, std::string refusal, std::string xmlInput,
                       const std::string& wsURL, const std::string& SOAPAction,
                       XmlCompletion completion) const {
  auto onDone = [reporter, completion = std::move(completion)](detail::HttpResponse& response) {
    std::optional<Failure> failure = detail::exchangeFailure(response, reporter);
    completion(failure ? nullptr : detail::xmlAnswerFromBody(response, reporter), failure);
  };
  if (!refusal.empty()) {
    detail::failWithoutSending(std::move(refusal), std::move(onDone));
    return;
  }
  detail::HttpRequest request = settings->request(wsURL);
  // The action goes unquoted: the service matches the header value as it is.
  request.headers = {"Content-Type: text/xml; charset=utf-8", "SOAPAction: " + SOAPAction};
  request.body = std::move(xmlInput);
  // The service offers its SOAP endpoint over plain HTTP only.
  request.allowPlainHttp = true;
  detail::send(std::move(request), std::move(onDone));
}

}  // namespace velmora
