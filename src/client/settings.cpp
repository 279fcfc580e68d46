#include "client/settings.hpp"

#include <atomic>
#include <chrono>
#include <cmath>

#include "client/endpoint_checks.hpp"
#include "transport/session.hpp"
#include "velmora/options.hpp"

namespace velmora::detail {
namespace {

// See HttpRequest::kLongestTimeLimit.
bool withinADay(std::chrono::milliseconds value) {
  return value > std::chrono::milliseconds::zero() && value <= Options::kLongestTimeLimit;
}

// The highest rate a client accepts: far above any service's, low enough that the interval
// between two requests is never below a microsecond.
constexpr double kHighestRate = 1e6;

Refusal retryRefusal(const RetryPolicy& retry) {
  if (retry.attempts < 1 || retry.attempts > 10) return {"retry.attempts must be 1 to 10"};
  if (retry.firstBackoff < std::chrono::milliseconds::zero() ||
      retry.firstBackoff > Options::kLongestTimeLimit) {
    return {"retry.firstBackoff must be at least 0 and at most 24 hours"};
  }
  // Written so that NaN fails each check too.
  if (!(retry.multiplier >= 1 && std::isfinite(retry.multiplier))) {
    return {"retry.multiplier must be a finite number of at least 1"};
  }
  if (!(retry.jitter >= 0 && retry.jitter <= 1)) return {"retry.jitter must be 0 to 1"};
  return {};
}

Refusal pacingRefusal(const Options& options) {
  if (!(options.maxRequestsPerSecond >= 0 && options.maxRequestsPerSecond <= kHighestRate)) {
    return {"maxRequestsPerSecond must be 0 (no limit) to 1000000"};
  }
  if (options.maxInFlight < 0) return {"maxInFlight must be 0 (no limit) or more"};
  return {};
}

Refusal perOriginRefusal(const Options& options) {
  const auto within = [](int limit) { return limit >= 0 && limit <= HttpRequest::kMostPerOrigin; };
  if (!within(options.maxConnectionsPerOrigin)) {
    return {"maxConnectionsPerOrigin must be 0 (automatic) to 1024"};
  }
  if (!within(options.maxStreamsPerOrigin)) {
    return {"maxStreamsPerOrigin must be 0 (automatic) to 1024"};
  }
  return {};
}

// Why no request of this client may be sent, whatever its protocol; empty when they may.
Refusal commonRefusal(const Options& options) {
  if (!withinADay(options.timeout)) return {"timeout must be positive and at most 24 hours"};
  if (!withinADay(options.deadline)) return {"deadline must be positive and at most 24 hours"};
  if (Refusal retry = retryRefusal(options.retry)) return retry;
  if (Refusal pacing = pacingRefusal(options)) return pacing;
  if (Refusal perOrigin = perOriginRefusal(options)) return perOrigin;
  if (options.proxy) return checkProxy(*options.proxy);
  return {};
}

CallLimits limitsOf(const Options& options) {
  return {options.retry, options.maxRequestsPerSecond, options.maxInFlight};
}

// Says once per process, through the first client on the built-in transport, why that
// transport speaks HTTP/1.1 only, when it does.
void noticeHttp1Only(const Options& options, const std::shared_ptr<const DiagnosticSink>& sink) {
  static std::atomic<bool> told{false};
  if (options.transport || Session::http2Withheld().empty() || told.exchange(true)) return;
  CallContext{"", sink, {}, {}, 0}.print(DiagnosticKind::Notice, Session::http2Withheld());
}

}  // namespace

ClientSettings::ClientSettings(Options checked) : options(std::move(checked)) {
  if (options.diagnostics) sink = std::make_shared<const DiagnosticSink>(options.diagnostics);
  noticeHttp1Only(options, sink);
  const Refusal common = commonRefusal(options);
  // A client whose limits are refused sends nothing, so its queue needs none.
  queue = std::make_shared<CallQueue>(options.transport, common ? CallLimits{} : limitsOf(options),
                                      options.executor);
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
  request.connectionsPerOrigin = options.maxConnectionsPerOrigin;
  request.streamsPerOrigin = options.maxStreamsPerOrigin;
  return request;
}

}  // namespace velmora::detail
