#include "text/utf8.hpp"

#include <cstdint>

#include "velmora/text.hpp"

namespace velmora::detail {
namespace {

// Decodes the code point starting at `text[i]`; advances `i`. Returns -1 when malformed.
std::int32_t decodeNext(std::string_view text, std::size_t& i) noexcept {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return text[i++];
  int length = 0;
  std::int32_t cp = 0;
  std::int32_t min = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, min = 0x10000;
  } else {
    return -1;
  }
  if (text.size() - i < static_cast<std::size_t>(length)) return -1;
  for (int k = 1; k < length; ++k) {
    const unsigned char next = byte(i + k);
    if ((next & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  i += length;
  return cp;
}

}  // namespace

bool isValidUtf8(std::string_view text) noexcept {
  for (std::size_t i = 0; i < text.size();) {
    if (decodeNext(text, i) < 0) return false;
  }
  return true;
}

bool isXmlCarriable(std::string_view text) noexcept {
  for (std::size_t i = 0; i < text.size();) {
    const std::int32_t cp = decodeNext(text, i);
    if (cp < 0 || cp == 0xFFFE || cp == 0xFFFF) return false;
    if (cp < 0x20 && cp != '\t' && cp != '\n' && cp != '\r') return false;
  }
  return true;
}

}  // namespace velmora::detail

namespace velmora {

bool isValidUtf8(std::string_view text) noexcept {
  return detail::isValidUtf8(text);
}

std::size_t utf8SequenceLength(std::string_view text) noexcept {
  std::size_t end = 0;
  if (text.empty() || detail::decodeNext(text, end) < 0) return 0;
  return end;
}

}  // namespace velmora
