#include "printable.hpp"

#include <cstdio>

namespace velmora::tools {
namespace {

void appendHex(std::string& out, unsigned char byte) {
  char hex[5];
  std::snprintf(hex, sizeof hex, "\\x%02x", byte);
  out += hex;
}

const char* namedEscape(unsigned char byte) {
  switch (byte) {
    case '\\':
      return "\\\\";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    default:
      return nullptr;
  }
}

// The bytes of the control character that `text` starts with: 1 for C0 and DEL, 2 for C1, 0 for
// anything else. C1 controls (U+0080 to U+009F) are C2 80 to C2 9F in UTF-8; some terminals obey
// them too. 0xC2 is never a continuation byte, so the test holds at any position of UTF-8.
std::size_t controlBytes(std::string_view text) {
  const auto byte = static_cast<unsigned char>(text[0]);
  if (byte < 0x20 || byte == 0x7f) return 1;
  const bool c1 = byte == 0xC2 && text.size() > 1 && static_cast<unsigned char>(text[1]) >= 0x80 &&
                  static_cast<unsigned char>(text[1]) < 0xA0;
  return c1 ? 2 : 0;
}

}  // namespace

std::string printable(std::string_view text, Utf8SequenceLength sequenceLength) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const auto byte = static_cast<unsigned char>(text[0]);
    if (const char* named = namedEscape(byte)) {
      out += named;
      text.remove_prefix(1);
      continue;
    }
    const std::size_t control = controlBytes(text);
    const std::size_t length = control == 0 ? sequenceLength(text) : 0;
    if (length == 0) {
      const std::size_t bytes = control == 0 ? 1 : control;
      for (std::size_t i = 0; i < bytes; ++i) appendHex(out, static_cast<unsigned char>(text[i]));
      text.remove_prefix(bytes);
    } else {
      out.append(text.substr(0, length));
      text.remove_prefix(length);
    }
  }
  return out;
}

std::string printableJson(std::string_view json) {
  std::string out;
  out.reserve(json.size());
  while (!json.empty()) {
    const std::size_t control = controlBytes(json);
    // A C0 byte here is the document's own white space: inside strings JSON escapes them all.
    if (control == 0 || static_cast<unsigned char>(json[0]) < 0x20) {
      out += json[0];
      json.remove_prefix(1);
      continue;
    }
    const unsigned codePoint = static_cast<unsigned char>(json[control - 1]);
    char escape[7];
    std::snprintf(escape, sizeof escape, "\\u%04x", codePoint);
    out += escape;
    json.remove_prefix(control);
  }
  return out;
}

}  // namespace velmora::tools
