#include "rest/answer.hpp"

#include "records/whole_number.hpp"

namespace velmora::detail {
namespace {

// The service's code, or why the answer's "Code" cannot be believed.
WholeNumber readCode(const nlohmann::json& answer) {
  const auto code = answer.find("Code");
  if (code == answer.end()) return {std::nullopt, "is missing"};
  return readWholeNumber(*code);
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

// Builds the answer in one pass over the text, as nlohmann's own DOM builder does, and on the
// way counts the top-level members that decide what an answer says and refuses nesting deeper
// than kMaxJsonDepth before it is built.
class AnswerBuilder {
 public:
  explicit AnswerBuilder(nlohmann::json& answer) : dom(answer, /*allow_exceptions=*/false) {}

  bool null() { return dom.null(); }
  bool boolean(bool value) { return dom.boolean(value); }
  bool number_integer(std::int64_t value) { return dom.number_integer(value); }
  bool number_unsigned(std::uint64_t value) { return dom.number_unsigned(value); }
  bool number_float(double value, const std::string& text) { return dom.number_float(value, text); }
  bool string(std::string& value) { return dom.string(value); }
  bool binary(nlohmann::json::binary_t& value) { return dom.binary(value); }
  bool start_object(std::size_t size) { return deeper() && dom.start_object(size); }
  bool end_object() { return --depth, dom.end_object(); }
  bool start_array(std::size_t size) { return deeper() && dom.start_array(size); }
  bool end_array() { return --depth, dom.end_array(); }
  bool key(std::string& name) {
    if (depth == 1) {
      codes += name == "Code";
      results += name == "Result";
    }
    return dom.key(name);
  }
  bool parse_error(std::size_t at, const std::string& token,
                   const nlohmann::detail::exception& error) {
    return dom.parse_error(at, token, error);
  }

  // The member that came more than once, if any.
  const char* repeated() const { return codes > 1 ? "Code" : results > 1 ? "Result" : nullptr; }

 private:
  bool deeper() { return ++depth <= kMaxJsonDepth; }

  nlohmann::detail::json_sax_dom_parser<nlohmann::json> dom;
  std::size_t depth = 0;
  int codes = 0;
  int results = 0;
};

JsonOutcome malformed(std::string line, const CallContext& context) {
  // The service answered, so the request arrived; what it decided is unknown.
  Failure failure;
  failure.kind = FailureKind::MalformedAnswer;
  failure.message = std::move(line);
  context.print(DiagnosticKind::Answer, failure.message);
  return {nullptr, std::move(failure)};
}

}  // namespace

JsonOutcome readJsonExchange(const HttpResponse& response, const CallContext& context) {
  if (auto failure = exchangeFailure(response, context)) return {nullptr, std::move(failure)};
  nlohmann::json answer;
  AnswerBuilder builder(answer);
  const char* text = response.body.data();
  if (!nlohmann::json::sax_parse(text, text + response.body.size(), &builder) ||
      !answer.is_object()) {
    return malformed("Not containing JSON", context);
  }
  // The parser keeps the last of two equal members: which one the service meant is unknown.
  if (const char* twice = builder.repeated()) {
    return malformed(std::string("The answer has more than one \"") + twice +
                         "\" member; the service's verdict is unknown",
                     context);
  }
  const WholeNumber code = readCode(answer);
  if (!code.value) {
    return malformed(
        std::string("The answer's \"Code\" ") + code.problem + "; the service's verdict is unknown",
        context);
  }
  return {fill(answer, *code.value), std::nullopt};
}

}  // namespace velmora::detail
