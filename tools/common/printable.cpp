#include "printable.hpp"

#include <cstdint>
#include <cstdio>
#include <iterator>

namespace velmora::tools {
namespace {

// The length of the UTF-8 sequence that `lead` starts and the value bits it carries; 0 for a byte
// that cannot start one.
std::size_t sequenceLength(unsigned char lead, std::uint32_t& value) {
  static constexpr struct {
    unsigned char least;
    unsigned char mask;
  } kLeads[] = {{0xF8, 0}, {0xF0, 0x07}, {0xE0, 0x0F}, {0xC0, 0x1F}, {0x80, 0}};
  for (std::size_t i = 0; i < std::size(kLeads); ++i) {
    if (lead < kLeads[i].least) continue;
    value = lead & kLeads[i].mask;
    return kLeads[i].mask == 0 ? 0 : 5 - i;
  }
  value = lead;
  return 1;
}

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

std::size_t utf8SequenceLength(std::string_view text) {
  static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (text.empty()) return 0;
  std::uint32_t value = 0;
  const std::size_t length = sequenceLength(static_cast<unsigned char>(text[0]), value);
  if (length == 0 || length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[k]);
    if ((next & 0xC0u) != 0x80u) return 0;
    value = (value << 6) | (next & 0x3Fu);
  }
  const bool valid =
      value >= kSmallest[length] && value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF);
  return valid ? length : 0;
}

bool isUtf8(std::string_view text) {
  while (!text.empty()) {
    const std::size_t length = utf8SequenceLength(text);
    if (length == 0) return false;
    text.remove_prefix(length);
  }
  return true;
}

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const auto byte = static_cast<unsigned char>(text[0]);
    if (const char* named = namedEscape(byte)) {
      out += named;
      text.remove_prefix(1);
      continue;
    }
    const std::size_t length = utf8SequenceLength(text);
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
