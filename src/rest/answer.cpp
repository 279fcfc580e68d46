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

// Counts the top-level members that decide what an answer says, as the parser meets them.
class TopLevelCounts {
 public:
  nlohmann::json::parser_callback_t callback() {
    return [this](int depth, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
      if (event == nlohmann::json::parse_event_t::key && depth == 1 && parsed.is_string()) {
        const auto& key = parsed.get_ref<const std::string&>();
        codes += key == "Code";
        results += key == "Result";
      }
      return true;
    };
  }
  // The member that came more than once, if any.
  const char* repeated() const { return codes > 1 ? "Code" : results > 1 ? "Result" : nullptr; }

 private:
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

JsonOutcome readJsonExchange(const HttpResponse& response, const CallContext& context) {
  if (auto failure = exchangeFailure(response, context)) return {nullptr, std::move(failure)};
  nlohmann::json answer;
  TopLevelCounts counts;
  if (jsonDepthWithin(response.body, kMaxJsonDepth)) {
    answer = nlohmann::json::parse(response.body, counts.callback(), /*allow_exceptions=*/false);
  }
  if (!answer.is_object()) return malformed("Not containing JSON", context);
  // The parser keeps the last of two equal members: which one the service meant is unknown.
  if (const char* twice = counts.repeated()) {
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
