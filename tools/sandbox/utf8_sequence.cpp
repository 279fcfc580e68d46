#include "utf8_sequence.hpp"

#include <cstdint>
#include <iterator>

namespace velmora::sandbox {
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

}  // namespace velmora::sandbox
