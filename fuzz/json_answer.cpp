// The JSON answer of a REST operation, turned into the completion's value.
// Properties: a 2xx answer gives a Result exactly when its body is a JSON object nested no deeper
// than the library accepts whose "Code" is a whole number in 64 bits (or a string of its decimal
// digits), with neither "Code" nor "Result" given twice; the Result's members are those of the
// object, read by their exact names; any other status gives nothing without the body being looked
// at; every typed reader, run over any Result, returns exactly one of a value and a reason, and a
// value only for a Success.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "rest/answer.hpp"
#include "velmora/answers.hpp"

namespace {

using nlohmann::json;

void require(bool condition) {
  if (!condition) std::abort();
}

// True when `text` nests arrays and objects no deeper than `limit`, counted by brackets outside
// strings: a reading of its own, beside the library's parser.
bool jsonDepthWithin(std::string_view text, std::size_t limit) {
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

// The code a "Code" member stands for: a whole number in the signed 64-bit range, written as
// a number or as a string of decimal digits, kept as it came even when it names no case;
// nothing when the member is missing or anything else (the answer is then no Result).
std::optional<std::int64_t> expectedCode(const json& object) {
  const auto code = object.find("Code");
  if (code == object.end()) return std::nullopt;
  if (code->is_string()) {
    const std::string& text = code->get_ref<const std::string&>();
    const std::size_t digits = text.size() - (!text.empty() && text[0] == '-' ? 1 : 0);
    // Leading zeros are allowed, so the length says nothing; strtoll reports the range.
    if (digits == 0 || !std::all_of(text.end() - static_cast<long>(digits), text.end(),
                                    [](char c) { return c >= '0' && c <= '9'; })) {
      return std::nullopt;
    }
    errno = 0;
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE) return std::nullopt;
    return static_cast<std::int64_t>(value);
  }
  if (!code->is_number()) return std::nullopt;
  if (code->is_number_unsigned()) {
    const std::uint64_t u = code->get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<std::int64_t>(u);
  }
  if (code->is_number_integer()) return code->get<std::int64_t>();
  const double d = code->get<double>();
  if (std::trunc(d) != d || std::fabs(d) >= 9223372036854775808.0) {
    return d == -9223372036854775808.0 ? std::optional<std::int64_t>(INT64_MIN) : std::nullopt;
  }
  return static_cast<std::int64_t>(d);
}

// Counts the members named "Code" and "Result" of the top-level object, repeats included (the
// parsed value keeps only the last of equal members).
class TopLevelKeys : public nlohmann::json_sax<json> {
 public:
  bool repeated() const { return codes > 1 || results > 1; }

  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return ++depth, true; }
  bool end_object() override { return --depth, true; }
  bool start_array(std::size_t) override { return ++depth, true; }
  bool end_array() override { return --depth, true; }
  bool key(string_t& name) override {
    if (depth == 1) {
      codes += name == "Code";
      results += name == "Result";
    }
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  int depth = 0;
  int codes = 0;
  int results = 0;
};

// Exactly one of value and reason, and a value only for a real Success.
template <class T>
void requireOneOf(const velmora::Answer<T>& answer, const velmora::Result& result) {
  require(answer.value.has_value() == answer.error.empty());
  require(!answer.value || result.Code() == velmora::ResultCode::Success);
}

void readEveryWay(const std::shared_ptr<velmora::Result>& result) {
  requireOneOf(velmora::readSendReceipt(result), *result);
  requireOneOf(velmora::readDeliveryStates(result), *result);
  requireOneOf(velmora::readGroupMessageId(result), *result);
  requireOneOf(velmora::readInboxPage(result), *result);
  requireOneOf(velmora::readCredit(result), *result);
  requireOneOf(velmora::readPrices(result), *result);
  requireOneOf(velmora::readWhiteList(result), *result);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const velmora::detail::CallContext quiet{
      "Fuzz",
      std::make_shared<const velmora::detail::DiagnosticSink>([](const velmora::Diagnostic&) {}),
      {},
      {},
      1};

  velmora::HttpResponse response;
  response.status = 200;
  response.body.assign(reinterpret_cast<const char*>(data), size);
  const auto result = velmora::detail::readJsonExchange(response, quiet).result;

  const bool shallow = jsonDepthWithin(response.body, velmora::detail::kMaxJsonDepth);
  const json parsed = shallow ? json::parse(response.body, nullptr, false) : json();
  const std::optional<std::int64_t> code = parsed.is_object() ? expectedCode(parsed) : std::nullopt;
  TopLevelKeys keys;
  if (parsed.is_object()) json::sax_parse(response.body, &keys);
  require((result != nullptr) == (shallow && code.has_value() && !keys.repeated()));

  if (result != nullptr) {
    require(velmora::rawValue(result->Code()) == *code);
    const auto message = parsed.find("Message");
    require(result->Message() ==
            (message != parsed.end() && message->is_string() ? message->get<std::string>() : ""));
    const auto payload = parsed.find("Result");
    require(result->Payload() == (payload != parsed.end() ? *payload : json("")));
    readEveryWay(result);
  }

  // A failed status never reaches the body.
  response.status = 500;
  require(velmora::detail::readJsonExchange(response, quiet).result == nullptr);
  return 0;
}
