#include "rest/answer.hpp"

#include <cctype>
#include <cmath>
#include <limits>

namespace velmora::detail {
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

}  // namespace

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

JsonOutcome readJsonExchange(const HttpResponse& response, const Reporter& reporter) {
  if (auto failure = exchangeFailure(response, reporter)) return {nullptr, std::move(failure)};
  nlohmann::json answer;
  if (jsonDepthWithin(response.body, kMaxJsonDepth)) {
    answer = nlohmann::json::parse(response.body, nullptr, /*allow_exceptions=*/false);
  }
  if (!answer.is_object()) {
    Failure failure{FailureKind::MalformedAnswer, {}, "Not containing JSON", true};
    reporter.print(DiagnosticKind::Answer, failure.message);
    return {nullptr, std::move(failure)};
  }
  return {fill(answer), std::nullopt};
}

std::shared_ptr<Result> resultFromResponse(const HttpResponse& response) {
  return readJsonExchange(response, Reporter("", nullptr)).result;
}

}  // namespace velmora::detail
