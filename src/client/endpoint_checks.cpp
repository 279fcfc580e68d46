#include "client/endpoint_checks.hpp"

#include <algorithm>
#include <cctype>
#include <initializer_list>

#include "text/utf8.hpp"
#include "transport/url.hpp"

namespace velmora::detail {
namespace {

bool holdsControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
  });
}

bool oneOf(const std::string& scheme, std::initializer_list<const char*> allowed) {
  return std::any_of(allowed.begin(), allowed.end(), [&](const char* s) { return scheme == s; });
}

// The scheme of `url` in lower case, or empty when it does not start with one and "://".
std::string schemeOf(std::string_view url) {
  const auto end = url.find("://");
  if (end == std::string_view::npos || end == 0) return {};
  std::string scheme(url.substr(0, end));
  for (char& c : scheme) {
    const auto u = static_cast<unsigned char>(c);
    if (!std::isalnum(u) && c != '+' && c != '-' && c != '.') return {};
    c = static_cast<char>(std::tolower(u));
  }
  return scheme;
}

CheckedUrl checkEndpoint(std::string_view url, const char* name, const char* allowed,
                         std::initializer_list<const char*> schemes) {
  const auto refuse = [name](const std::string& why) {
    return CheckedUrl{{}, Refusal{std::string(name) + why}};
  };
  if (holdsControl(url)) return refuse(" holds a control character");
  const std::string scheme = schemeOf(url);
  if (scheme.empty()) return refuse(std::string(" must be an ") + allowed + " URL");
  if (!oneOf(scheme, schemes)) {
    return refuse(std::string(" must be an ") + allowed + " URL, not \"" + scheme + "\"");
  }
  const ParsedUrl parsed{std::string(url)};
  if (!parsed.isValid()) return refuse(" is not a valid URL");
  if (!parsed.has(UrlPart::Host)) return refuse(" has no host");
  if (parsed.has(UrlPart::User) || parsed.has(UrlPart::Password) || parsed.has(UrlPart::Options)) {
    return refuse(" holds a user name or password");
  }
  if (parsed.has(UrlPart::Query) || url.find('?') != std::string_view::npos) {
    return refuse(" holds a query");
  }
  if (parsed.has(UrlPart::Fragment) || url.find('#') != std::string_view::npos) {
    return refuse(" holds a fragment");
  }
  return {parsed.part(UrlPart::Whole).value_or(""), {}};
}

}  // namespace

CheckedUrl checkRestBaseUrl(std::string_view url) {
  CheckedUrl checked = checkEndpoint(url, "restBaseUrl", "https", {"https"});
  if (!checked.url.empty() && checked.url.back() == '/') checked.url.pop_back();
  return checked;
}

CheckedUrl checkSoapUrl(std::string_view url) {
  return checkEndpoint(url, "soapUrl", "http or https", {"http", "https"});
}

Refusal checkProxy(std::string_view proxy) {
  if (proxy.empty()) return {};
  if (holdsControl(proxy)) return {"proxy holds a control character"};
  const ParsedUrl parsed{std::string(proxy)};
  if (!parsed.isValid() ||
      !oneOf(parsed.part(UrlPart::Scheme).value_or(""), {"http", "https", "socks5h"}) ||
      !parsed.has(UrlPart::Host)) {
    return {"proxy must be an http, https or socks5h URL"};
  }
  return {};
}

Refusal checkNamespace(std::string_view serviceNamespace) {
  if (holdsControl(serviceNamespace) || serviceNamespace.find(' ') != std::string_view::npos) {
    return {"soapNamespace holds a control character or a space"};
  }
  if (!isXmlCarriable(serviceNamespace)) return {"soapNamespace holds text that XML cannot carry"};
  const ParsedUrl parsed{std::string(serviceNamespace)};
  const std::string scheme = parsed.part(UrlPart::Scheme).value_or("");
  // "://" itself is required: libcurl would also take "http:host".
  const bool absolute = parsed.isValid() && oneOf(scheme, {"http", "https"}) &&
                        serviceNamespace.substr(scheme.size(), 3) == "://" &&
                        parsed.has(UrlPart::Host);
  if (absolute) return {};
  return {"soapNamespace must be an absolute http or https URI"};
}

}  // namespace velmora::detail
