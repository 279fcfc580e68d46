#include "transport/url.hpp"

#include <curl/curl.h>

#include <cctype>

namespace velmora::detail {
namespace {

CURLUPart curlPart(UrlPart which) {
  switch (which) {
    case UrlPart::Scheme:
      return CURLUPART_SCHEME;
    case UrlPart::Host:
      return CURLUPART_HOST;
    case UrlPart::User:
      return CURLUPART_USER;
    case UrlPart::Password:
      return CURLUPART_PASSWORD;
    case UrlPart::Options:
      return CURLUPART_OPTIONS;
    case UrlPart::Query:
      return CURLUPART_QUERY;
    case UrlPart::Fragment:
      return CURLUPART_FRAGMENT;
    case UrlPart::Whole:
      break;
  }
  return CURLUPART_URL;
}

}  // namespace

struct ParsedUrl::Handle {
  CURLU* url = curl_url();
  ~Handle() { curl_url_cleanup(url); }
};

ParsedUrl::ParsedUrl(const std::string& text) : handle_(std::make_unique<Handle>()) {
  valid_ = handle_->url != nullptr && curl_url_set(handle_->url, CURLUPART_URL, text.c_str(),
                                                   CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;
}

ParsedUrl::~ParsedUrl() = default;

std::optional<std::string> ParsedUrl::part(UrlPart which) const {
  char* text = nullptr;
  if (!valid_ || curl_url_get(handle_->url, curlPart(which), &text, 0) != CURLUE_OK ||
      text == nullptr) {
    return std::nullopt;
  }
  std::string copy(text);
  curl_free(text);
  if (which == UrlPart::Scheme) {
    for (char& c : copy) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return copy;
}

bool ParsedUrl::has(UrlPart which) const {
  const auto text = part(which);
  return text && !text->empty();
}

}  // namespace velmora::detail
