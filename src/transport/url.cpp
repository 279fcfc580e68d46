#include "transport/url.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <memory>
#include <optional>

#include "text/utf8.hpp"

namespace velmora::detail {
namespace {

bool holdsControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
  });
}

// One URL as libcurl's parser sees it.
class ParsedUrl {
 public:
  // `text` must hold no NUL: the parser takes a C string.
  explicit ParsedUrl(const std::string& text) : handle(curl_url(), &curl_url_cleanup) {
    // Any scheme is parsed, so that a wrong one is reported as such rather than as "not a URL".
    valid = handle && curl_url_set(handle.get(), CURLUPART_URL, text.c_str(),
                                   CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;
  }
  bool isValid() const { return valid; }
  std::optional<std::string> part(CURLUPart which) const {
    char* text = nullptr;
    if (curl_url_get(handle.get(), which, &text, 0) != CURLUE_OK || text == nullptr) return {};
    std::string copy(text);
    curl_free(text);
    return copy;
  }
  bool has(CURLUPart which) const {
    const auto text = part(which);
    return text && !text->empty();
  }
  std::string scheme() const {
    std::string s = part(CURLUPART_SCHEME).value_or("");
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  }

 private:
  std::unique_ptr<CURLU, void (*)(CURLU*)> handle;
  bool valid = false;
};

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
  const auto refuse = [name](const char* why) {
    return CheckedUrl{{}, Refusal{std::string(name) + why}};
  };
  if (holdsControl(url)) return refuse(" holds a control character");
  const std::string scheme = schemeOf(url);
  if (!oneOf(scheme, schemes)) {
    // Worded as the line has always been, which scripts may match.
    return CheckedUrl{
        {},
        Refusal{"error The URL scheme " + (scheme.empty() ? "is missing" : '"' + scheme + "\" is") +
                    " not allowed: only " + allowed,
                true}};
  }
  const ParsedUrl parsed{std::string(url)};
  if (!parsed.isValid()) return refuse(" is not a valid URL");
  if (!parsed.has(CURLUPART_HOST)) return refuse(" has no host");
  if (parsed.has(CURLUPART_USER) || parsed.has(CURLUPART_PASSWORD) ||
      parsed.has(CURLUPART_OPTIONS)) {
    return refuse(" holds a user name or password");
  }
  if (parsed.has(CURLUPART_QUERY) || url.find('?') != std::string_view::npos) {
    return refuse(" holds a query");
  }
  if (parsed.has(CURLUPART_FRAGMENT) || url.find('#') != std::string_view::npos) {
    return refuse(" holds a fragment");
  }
  return {parsed.part(CURLUPART_URL).value_or(""), {}};
}

}  // namespace

CheckedUrl checkRestBaseUrl(std::string_view url) {
  CheckedUrl checked = checkEndpoint(url, "restBaseUrl", "https", {"https"});
  if (!checked.url.empty() && checked.url.back() == '/') checked.url.pop_back();
  return checked;
}

CheckedUrl checkSoapUrl(std::string_view url) {
  return checkEndpoint(url, "soapUrl", "http and https", {"http", "https"});
}

std::string proxyRefusal(std::string_view proxy) {
  if (proxy.empty()) return {};
  const std::string wrong = "proxy must be an http, https or socks5h URL";
  if (holdsControl(proxy)) return "proxy holds a control character";
  const ParsedUrl parsed{std::string(proxy)};
  if (!parsed.isValid() || !oneOf(parsed.scheme(), {"http", "https", "socks5h"}) ||
      !parsed.has(CURLUPART_HOST)) {
    return wrong;
  }
  return {};
}

std::string namespaceRefusal(std::string_view serviceNamespace) {
  if (holdsControl(serviceNamespace) || serviceNamespace.find(' ') != std::string_view::npos) {
    return "soapNamespace holds a control character or a space";
  }
  if (!isXmlCarriable(serviceNamespace)) return "soapNamespace holds text that XML cannot carry";
  const ParsedUrl parsed{std::string(serviceNamespace)};
  const std::string scheme = parsed.scheme();
  // "://" itself is required: libcurl would also take "http:host".
  const bool absolute = parsed.isValid() && oneOf(scheme, {"http", "https"}) &&
                        serviceNamespace.substr(scheme.size(), 3) == "://" &&
                        parsed.has(CURLUPART_HOST);
  return absolute ? std::string() : "soapNamespace must be an absolute http or https URI";
}

}  // namespace velmora::detail
