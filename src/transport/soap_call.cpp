#include "transport/soap_call.hpp"

#include <memory>
#include <string>
#include <utility>

#include "output.hpp"
#include "transport/json_call.hpp"
#include "utf8.hpp"
#include "velmora/client.hpp"

namespace velmora {
namespace detail {

std::unique_ptr<XmlAnswer> xmlAnswerFromResponse(HttpResponse& response) {
  if (!acceptResponse(response)) return nullptr;
  printLine(isValidUtf8(response.body) ? "Body: Optional(" + response.body + ")"
                                       : std::string("Body: nil"));
  return std::make_unique<XmlAnswer>(std::move(response.body));
}

}  // namespace detail

const std::string& Velmora::FastSendWSURL() {
  // A function-local static is initialised exactly once, even on concurrent first use.
  static const std::string url = VELMORA_DEFAULT_SOAP_URL;
  return url;
}

void Velmora::callSOAP(std::string xmlInput, const std::string& wsURL,
                       const std::string& SOAPAction, XmlCompletion completion) const {
  detail::HttpRequest request;
  request.url = wsURL;
  // The action goes unquoted: the service matches the header value as it is.
  request.headers = {"Content-Type: text/xml; charset=utf-8", "SOAPAction: " + SOAPAction};
  request.body = std::move(xmlInput);
  request.caFile = options.caFile;
  request.timeout = options.timeout;
  // The service offers its SOAP endpoint over plain HTTP only.
  request.allowPlainHttp = true;
  detail::submitRequest(std::move(request),
                        [completion = std::move(completion)](detail::HttpResponse& response) {
                          completion(detail::xmlAnswerFromResponse(response));
                        });
}

}  // namespace velmora
