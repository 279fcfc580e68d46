#include "transport/json_call.hpp"

#include <cctype>
#include <cmath>
#include <limits>

#include "output.hpp"
#include "velmora/client.hpp"

namespace velmora {
namespace detail {
namespace {

std::optional<std::int64_t> wholeNumber(const nlohmann::json& value) {
  if (value.is_number_integer()) {
    if (value.is_number_unsigned()) {
      const auto u = value.get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return {};
      return static_cast<std::int64_t>(u);
    }
    return value.get<std::int64_t>();
  }
  if (value.is_number_float()) {
    const double d = value.get<double>();
    // Whole values such as 1001.0 count; the range check keeps the cast defined.
    if (std::floor(d) != d || d < -9.2e18 || d > 9.2e18) return {};
    return static_cast<std::int64_t>(d);
  }
  return {};
}

std::shared_ptr<Result> fill(nlohmann::json& answer) {
  auto result = std::make_shared<Result>();
  if (auto code = answer.find("Code"); code != answer.end()) {
    // A code this version does not know is kept, so that it never reads as Success.
    if (auto raw = wholeNumber(*code)) result->setCode(static_cast<ResultCode>(*raw));
  }
  if (auto message = answer.find("Message"); message != answer.end() && message->is_string()) {
    result->setMessage(message->get<std::string>());
  }
  if (auto payload = answer.find("Result"); payload != answer.end()) {
    result->setPayload(std::move(*payload));
  }
  return result;
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

}  // namespace

void submitRequest(HttpRequest request, std::function<void(HttpResponse&)> onDone) {
  // Checked here rather than left to the HTTP client alone, so that a misconfigured endpoint
  // fails the same clear way whatever the client's own rules, and is never contacted.
  const std::string scheme = schemeOf(request.url);
  if (scheme == "https" || (request.allowPlainHttp && scheme == "http")) {
    Session::shared().submit(std::move(request), std::move(onDone));
    return;
  }
  HttpResponse refused;
  refused.failed = true;
  refused.error = "The URL scheme " + (scheme.empty() ? "is missing" : '"' + scheme + "\" is") +
                  " not allowed: only " + (request.allowPlainHttp ? "http and https" : "https");
  Session::shared().post(
      [refused = std::move(refused), onDone = std::move(onDone)]() mutable { onDone(refused); });
}

bool jsonDepthWithin(std::string_view text, std::size_t limit) noexcept {
  std::size_t depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

bool acceptResponse(const HttpResponse& response) {
  if (response.failed) {
    printLine(joinWords({"error", response.error.empty() ? "Unknown error" : response.error}));
    return false;
  }
  if (response.status < 200 || response.status > 299) {
    printLine("statusCode should be 2xx, but is " + std::to_string(response.status));
    printLine("response = " + response.description);
    return false;
  }
  return true;
}

std::shared_ptr<Result> resultFromResponse(const HttpResponse& response) {
  if (!acceptResponse(response)) return nullptr;
  nlohmann::json answer;
  if (jsonDepthWithin(response.body, kMaxJsonDepth)) {
    answer = nlohmann::json::parse(response.body, nullptr, /*allow_exceptions=*/false);
  }
  if (!answer.is_object()) {
    printLine("Not containing JSON");
    return nullptr;
  }
  return fill(answer);
}

}  // namespace detail

void Velmora::callAPI(const std::string& api, std::string POST_PARAMS,
                      ResultCompletion completion) const {
  detail::HttpRequest request;
  request.url = api;
  request.headers = {"Content-Type: application/json", "Authorization: " + getAuthHeader()};
  if (!POST_PARAMS.empty()) detail::printLine(POST_PARAMS);
  request.body = std::move(POST_PARAMS);
  request.caFile = options.caFile;
  request.timeout = options.timeout;
  // The handler holds the completion only, never the client: the client may go first.
  detail::submitRequest(std::move(request),
                        [completion = std::move(completion)](detail::HttpResponse& response) {
                          completion(detail::resultFromResponse(response));
                        });
}

}  // namespace velmora
