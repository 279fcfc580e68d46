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
    const std::size_t length = sequenceLength(text);
    // C1 controls (U+0080 to U+009F) are C2 80 to C2 9F; some terminals obey them too.
    const bool c1 = length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[1]) < 0xA0;
    if (length == 0 || byte < 0x20 || byte == 0x7f || c1) {
      const std::size_t bytes = c1 ? 2 : 1;
      for (std::size_t i = 0; i < bytes; ++i) appendHex(out, static_cast<unsigned char>(text[i]));
      text.remove_prefix(bytes);
    } else {
      out.append(text.substr(0, length));
      text.remove_prefix(length);
    }
  }
  return out;
}

}  // namespace velmora::tools
