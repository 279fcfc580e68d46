#pragma once

#include <string>
#include <string_view>

#include "call/refusal.hpp"

// Checks of the configured URLs, made with libcurl's URL parser so that what is checked is what
// libcurl will fetch. A refusal names the option and never quotes its value: a URL may hold a
// password. Pure functions: any thread.
namespace velmora::detail {

/// A configured endpoint after its check: the URL to fetch, or why nothing may be sent.
struct CheckedUrl {
  std::string url;  ///< normalised (scheme in lower case); empty when refused
  Refusal refusal;  ///< e.g. "restBaseUrl holds a query"; empty when accepted
};

/// `restBaseUrl`: https, a host, an optional port and path prefix; no user name or password,
/// query, fragment or control character. One trailing slash is dropped, so that "/api/..." can
/// be appended.
CheckedUrl checkRestBaseUrl(std::string_view url);

/// `soapUrl`: http or https, a host, a path; the same refusals as `checkRestBaseUrl`.
CheckedUrl checkSoapUrl(std::string_view url);

/// Why `proxy` may not be used (empty when it may): an http, https or socks5h URL with a host
/// and no control character. An empty `proxy` (no proxy at all) is accepted.
Refusal checkProxy(std::string_view proxy);

/// Why `serviceNamespace` may not go into a SOAP header and envelope (empty when it may): an
/// absolute http or https URI with a host, without control characters or spaces, that XML can
/// carry.
Refusal checkNamespace(std::string_view serviceNamespace);

}  // namespace velmora::detail
