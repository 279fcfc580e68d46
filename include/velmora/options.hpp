#pragma once

#include <chrono>
#include <string>

#include "velmora/config.hpp"

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

  /// Idle time-out: how long a request may make no progress (connecting included) before it
  /// fails. Default: 60 seconds.
  std::chrono::milliseconds timeout{std::chrono::seconds(60)};
};

}  // namespace velmora
