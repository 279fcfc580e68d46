// The SOAP answer: the XML collector and the reading of its text as a number or truth value.
// Properties: parsing any body ends (the billion-laughs guard bounds expansion); a number is read
// exactly when the trimmed text is an optional sign and ASCII digits within the signed 64-bit
// range, and then it has that value; the truth value only from "true" and "false".

#include <cstdint>
#include <cstdlib>
#include <string>

#include "soap/answer.hpp"
#include "soap/xml_collector.hpp"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

// The value of `text` worked out independently of the library, wider than 64 bits, or nothing
// when the text is not a sign and digits or the value does not fit.
std::optional<std::int64_t> referenceDecimal(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  __int128 value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > (static_cast<__int128>(1) << 63)) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > INT64_MAX || value < INT64_MIN) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

void checkReadings(std::string_view text) {
  const std::string_view trimmed = velmora::detail::trimXmlSpace(text);
  require(velmora::detail::readDecimal(trimmed) == referenceDecimal(trimmed));
  const auto truth = velmora::detail::readTruth(trimmed);
  require(truth.has_value() == (trimmed == "true" || trimmed == "false"));
  require(!truth || *truth == (trimmed == "true"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  velmora::detail::XmlAnswer answer(body);
  velmora::detail::ParserDelegate delegate;
  const velmora::detail::ParseOutcome outcome = answer.parse(delegate);
  require(outcome.wellFormed == outcome.error.empty());
  if (delegate.result) {
    require(!delegate.result->empty());
    checkReadings(*delegate.result);
  }
  // The readings on the raw input as well: far more varied text than parsed answers hold.
  checkReadings(body);
  return 0;
}
