#include "rest/answer.hpp"

#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

namespace velmora::detail {
namespace {

// The service's code, or why the answer's "Code" cannot be believed.
struct CodeReading {
  std::optional<std::int64_t> value;
  const char* problem = nullptr;  ///< set exactly when `value` is not
};

CodeReading unreadable(const char* problem) {
  return {std::nullopt, problem};
}

// A JSON string of decimal digits with an optional minus sign, as some gateways write codes.
CodeReading codeFromDigits(const std::string& text) {
  std::int64_t value = 0;
  const char* end = text.data() + text.size();
  const bool digitsOnly =
      !text.empty() && text != "-" &&
      text.find_first_not_of("0123456789", text[0] == '-' ? 1 : 0) == std::string::npos;
  if (!digitsOnly) return unreadable("is a string that is not a whole decimal number");
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end) return unreadable("is outside the signed 64-bit range");
  return {value, nullptr};
}

CodeReading readCode(const nlohmann::json& answer) {
  const auto code = answer.find("Code");
  if (code == answer.end()) return unreadable("is missing");
  if (code->is_null()) return unreadable("is null");
  if (code->is_string()) return codeFromDigits(code->get_ref<const std::string&>());
  if (code->is_number_unsigned()) {
    const auto u = code->get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return unreadable("is outside the signed 64-bit range");
    }
    return {static_cast<std::int64_t>(u), nullptr};
  }
  if (code->is_number_integer()) return {code->get<std::int64_t>(), nullptr};
  if (code->is_number_float()) {
    const double d = code->get<double>();
    // Whole values written with a fraction (1001.0) count; the bounds keep the cast defined.
    if (std::floor(d) != d) return unreadable("is not a whole number");
    if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) {
      return unreadable("is outside the signed 64-bit range");
    }
    return {static_cast<std::int64_t>(d), nullptr};
  }
  return unreadable("is neither a number nor a string of digits");
}

std::shared_ptr<Result> fill(nlohmann::json& answer, std::int64_t code) {
  auto result = std::make_shared<Result>();
  // A code this version does not know is kept, so that it never reads as Success.
  result->setCode(static_cast<ResultCode>(code));
  if (auto message = answer.find("Message"); message != answer.end() && message->is_string()) {
    result->setMessage(message->get<std::string>());
  }
  if (auto payload = answer.find("Result"); payload != answer.end()) {
    result->setPayload(std::move(*payload));
  }
  return result;
}

JsonOutcome malformed(std::string line, const Reporter& reporter) {
  // The service answered, so the request arrived; what it decided is unknown.
  Failure failure{FailureKind::MalformedAnswer, {}, std::move(line), true};
  reporter.print(DiagnosticKind::Answer, failure.message);
  return {nullptr, std::move(failure)};
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
  if (!answer.is_object()) return malformed("Not containing JSON", reporter);
  const CodeReading code = readCode(answer);
  if (!code.value) {
    return malformed(
        std::string("The answer's \"Code\" ") + code.problem + "; the service's verdict is unknown",
        reporter);
  }
  return {fill(answer, *code.value), std::nullopt};
}

}  // namespace velmora::detail
