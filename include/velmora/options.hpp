#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "velmora/config.hpp"
#include "velmora/diagnostics.hpp"

namespace velmora {

/// Endpoints, trust and time-out of one client. A plain value: copy it freely, on any thread.
/// A default-made `Options` holds the library's built-in constants.
struct Options {
  /// HTTPS origin that the JSON operations append "/api/smsAPI/<Operation>" to.
  /// Default: the build's `VELMORA_REST_BASE_URL` (no trailing slash). Only "https" is accepted.
  std::string restBaseUrl = VELMORA_DEFAULT_REST_BASE_URL;

  /// Full URL of the SOAP endpoint of the verification-code operations.
  /// Default: the build's `VELMORA_SOAP_URL`, ending in "/fastsend.asmx". "http" or "https".
  std::string soapUrl = VELMORA_DEFAULT_SOAP_URL;

  /// Service namespace URI of the SOAP envelopes and SOAPAction values; ends with "/".
  /// Default: the build's `VELMORA_SOAP_NAMESPACE`.
  std::string soapNamespace = VELMORA_DEFAULT_SOAP_NAMESPACE;

  /// PEM file of the certificate authorities to trust for HTTPS.
  /// Default: empty, meaning the system trust store. Verification itself is always on.
  std::string caFile;

  /// Idle time-out: how long a request under way may make no progress (connecting included)
  /// before it fails. Time spent waiting for a connection in the library's queue does not count.
  /// Must be positive and at most 24 hours. Default: 60 seconds.
  std::chrono::milliseconds timeout{std::chrono::seconds(60)};

  /// The longest time from the call to its completion, waiting in the library's queue
  /// included. Must be positive and at most 24 hours. Default: 10 minutes.
  std::chrono::milliseconds deadline{std::chrono::minutes(10)};

  /// The proxy for this client's requests. Unset (the default): libcurl's environment variables
  /// are honoured (`https_proxy`, `http_proxy`, `all_proxy`, `no_proxy`). An empty string: no
  /// proxy, whatever the environment says. Otherwise a proxy URL ("http://", "https://",
  /// "socks5h://"); its credentials never appear in a printed line.
  std::optional<std::string> proxy;

  /// Where this client's diagnostic lines go. Unset (the default): standard output, one line
  /// each. Set: to this callable only, on the thread that produces the line (the caller's or a
  /// library thread); an exception it throws is caught and dropped.
  std::function<void(const Diagnostic&)> diagnostics;
};

}  // namespace velmora
