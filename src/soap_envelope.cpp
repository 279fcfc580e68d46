#include "soap_envelope.hpp"

#include <charconv>
#include <system_error>

namespace velmora::detail {

void appendXmlEscaped(std::string& out, std::string_view text) {
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      case '\r':
        // A reader turns a literal CR (and CR LF) into LF; a reference keeps the value as it is.
        out += "&#13;";
        break;
      default:
        out += c;
    }
  }
}

std::string buildEnvelope(const EnvelopeFields& fields) {
  std::string out;
  out.reserve(512 + fields.username.size() + fields.password.size() + fields.number.size() +
              fields.lastValue.size());
  const auto element = [&out](std::string_view tag, std::string_view value) {
    out += "      <";
    out += tag;
    out += '>';
    appendXmlEscaped(out, value);
    out += "</";
    out += tag;
    out += ">\n";
  };
  out +=
      "<soap12:Envelope xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
      "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
      "xmlns:soap12=\"http://www.w3.org/2003/05/soap-envelope\">\n"
      "  <soap12:Body>\n"
      "    <";
  out += fields.operation;
  out += " xmlns=\"";
  appendXmlEscaped(out, fields.serviceNamespace);
  out += "\">\n";
  element("Username", fields.username);
  element("Password", fields.password);
  element("ReciptionNumber", fields.number);
  element(fields.lastTag, fields.lastValue);
  out += "    </";
  out += fields.operation;
  out +=
      ">\n"
      "  </soap12:Body>\n"
      "</soap12:Envelope>";
  return out;
}

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

}  // namespace velmora::detail
