#include "client/settings.hpp"

#include <chrono>

#include "client/endpoint_checks.hpp"
#include "velmora/options.hpp"

namespace velmora::detail {
namespace {

// See HttpRequest::kLongestTimeLimit.
bool withinADay(std::chrono::milliseconds value) {
  return value > std::chrono::milliseconds::zero() && value <= Options::kLongestTimeLimit;
}

// Why no request of this client may be sent, whatever its protocol; empty when they may.
Refusal commonRefusal(const Options& options) {
  if (!withinADay(options.timeout)) return {"timeout must be positive and at most 24 hours"};
  if (!withinADay(options.deadline)) return {"deadline must be positive and at most 24 hours"};
  if (options.proxy) return checkProxy(*options.proxy);
  return {};
}

}  // namespace

ClientSettings::ClientSettings(Options checked) : options(std::move(checked)) {
  if (options.diagnostics) sink = std::make_shared<const DiagnosticSink>(options.diagnostics);
  const Refusal common = commonRefusal(options);
  CheckedUrl rest = checkRestBaseUrl(options.restBaseUrl);
  CheckedUrl soap = checkSoapUrl(options.soapUrl);
  restBase = std::move(rest.url);
  soapUrl = std::move(soap.url);
  restRefusal = common ? common : rest.refusal;
  soapRefusal = common         ? common
                : soap.refusal ? soap.refusal
                               : checkNamespace(options.soapNamespace);
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

}  // namespace velmora::detail
