#include "soap/envelope.hpp"

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

}  // namespace velmora::detail
