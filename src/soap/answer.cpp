#include "soap/answer.hpp"

#include <charconv>
#include <string>
#include <system_error>
#include <utility>

namespace velmora::detail {
namespace {

// An answer that came but cannot be read, after `attempts` tries.
Failure malformed(std::string message, int attempts) {
  Failure failure;
  failure.kind = FailureKind::MalformedAnswer;
  failure.message = std::move(message);
  failure.attempts = attempts;
  return failure;
}

// Runs the parser over the answer and prints what the application may want to see: the parse
// error, the declared entities of an answer without text, or the text found. Returns the
// failure of an answer that is not well-formed.
std::optional<Failure> collect(const XmlAnswer& answer, ParserDelegate& delegate,
                               const CallContext& context) {
  const ParseOutcome outcome = answer.parse(delegate);
  if (!outcome.wellFormed) {
    // A truncated or malformed answer is no answer, whatever text came before the error.
    Failure failure =
        malformed("answer is not well-formed XML: " + outcome.error, context.attempts);
    context.print(DiagnosticKind::Answer, failure.message);
    return failure;
  }
  if (!delegate.result) {
    for (const auto& [name, value] : delegate.entities) {
      context.print(DiagnosticKind::Answer, name + ": " + (value ? *value : std::string("<nil>")));
    }
    return std::nullopt;
  }
  context.print(DiagnosticKind::Answer, "found text: " + *delegate.result);
  return std::nullopt;
}

// Why a well-formed answer gave no value.
Failure unreadable(const ParserDelegate& delegate, const CallContext& call) {
  return malformed(
      delegate.result ? "found text: " + *delegate.result : std::string("the answer holds no text"),
      call.attempts);
}

}  // namespace

std::string_view trimXmlSpace(std::string_view text) noexcept {
  constexpr std::string_view kSpace = " \t\r\n";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

std::optional<std::int64_t> readDecimal(std::string_view text) noexcept {
  // std::from_chars alone would take "-" but not "+", so the sign is checked here and the digits
  // must make up all the rest.
  std::string_view digits = text;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  // Parse with the minus sign in place so that the most negative value is reachable.
  const std::string_view parsed = text.front() == '-' ? text : digits;
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(parsed.data(), parsed.data() + parsed.size(), value);
  if (error != std::errc() || end != parsed.data() + parsed.size()) return std::nullopt;
  return value;
}

std::optional<bool> readTruth(std::string_view text) noexcept {
  if (text == "true") return true;
  if (text == "false") return false;
  return std::nullopt;
}

// The answer routine of the operations that read a number. A null answer (failed exchange or
// nothing sent) completes with nothing and prints nothing more.
XmlCompletion numberAnswer(std::function<void(std::optional<std::int64_t>)> completion) {
  return [completion = std::move(completion)](std::unique_ptr<XmlAnswer> answer,
                                              std::optional<Failure> failure,
                                              const CallContext& context) {
    std::optional<std::int64_t> value;
    ParserDelegate delegate;
    if (answer && !(failure = collect(*answer, delegate, context))) {
      // The value is an xs:long, around which white space does not count.
      if (delegate.result) value = readDecimal(trimXmlSpace(*delegate.result));
      if (!value) failure = unreadable(delegate, context);
    }
    deliver(context, completion, value, failure, context.attempts);
  };
}

// The answer routine of CheckSendCode. A well-formed answer without any text means "not valid".
XmlCompletion truthAnswer(std::function<void(std::optional<bool>)> completion) {
  return [completion = std::move(completion)](std::unique_ptr<XmlAnswer> answer,
                                              std::optional<Failure> failure,
                                              const CallContext& context) {
    std::optional<bool> value;
    ParserDelegate delegate;
    if (answer && !(failure = collect(*answer, delegate, context))) {
      // The value is an xs:boolean, around which white space does not count.
      value = delegate.result ? readTruth(trimXmlSpace(*delegate.result)) : false;
      if (!value) failure = unreadable(delegate, context);
    }
    deliver(context, completion, value, failure, context.attempts);
  };
}

}  // namespace velmora::detail
