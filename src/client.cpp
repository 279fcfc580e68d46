#include "velmora/client.hpp"

#include <chrono>

#include "base64.hpp"
#include "client_settings.hpp"
#include "json_encoder.hpp"
#include "transport/url.hpp"

namespace velmora {
namespace detail {
namespace {

// A time-out beyond a day is a mistake, not a wish; refusing it also keeps every conversion of
// the value (to libcurl's milliseconds, to a time point) far from overflow.
bool withinADay(std::chrono::milliseconds value) {
  return value > std::chrono::milliseconds::zero() && value <= std::chrono::hours(24);
}

// Why no request of this client may be sent, whatever its protocol; empty when they may.
std::string commonRefusal(const Options& options) {
  if (!withinADay(options.timeout)) return "timeout must be positive and at most 24 hours";
  if (!withinADay(options.deadline)) return "deadline must be positive and at most 24 hours";
  if (options.proxy) return proxyRefusal(*options.proxy);
  return {};
}

}  // namespace

ClientSettings::ClientSettings(Options checked) : options(std::move(checked)) {
  if (options.diagnostics) sink = std::make_shared<const DiagnosticSink>(options.diagnostics);
  const Refusal common{commonRefusal(options)};
  CheckedUrl rest = checkRestBaseUrl(options.restBaseUrl);
  CheckedUrl soap = checkSoapUrl(options.soapUrl);
  restBase = std::move(rest.url);
  soapUrl = std::move(soap.url);
  restRefusal = common ? common : rest.refusal;
  soapRefusal = common         ? common
                : soap.refusal ? soap.refusal
                               : Refusal{namespaceRefusal(options.soapNamespace)};
}

HttpRequest ClientSettings::request(std::string url) const {
  HttpRequest request;
  request.url = std::move(url);
  request.caFile = options.caFile;
  request.timeout = options.timeout;
  request.deadline = options.deadline;
  request.proxy = options.proxy;
  return request;
}

}  // namespace detail

Velmora::Velmora(std::string username, std::string password)
    : Velmora(std::move(username), std::move(password), [] {
        Options builtIn;
        builtIn.soapUrl = FastSendWSURL();
        return builtIn;
      }()) {}

Velmora::Velmora(std::string username, std::string password, Options options)
    : jsonEncoder(std::make_shared<const detail::JsonEncoder>()),
      username(std::move(username)),
      password(std::move(password)),
      settings(std::make_shared<const detail::ClientSettings>(std::move(options))) {}

Velmora::~Velmora() = default;

std::string Velmora::getAuthHeader() const {
  std::string credentials;
  credentials.reserve(username.size() + 1 + password.size());
  credentials.append(username).append(":").append(password);
  return "Basic " + detail::base64Encode(credentials);
}

}  // namespace velmora
