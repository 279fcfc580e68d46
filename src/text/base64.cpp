#include "text/base64.hpp"

#include <cstdint>

namespace velmora::detail {

std::string base64Encode(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  const auto at = [&](std::size_t k) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[k]));
  };
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t n = at(i) << 16 | at(i + 1) << 8 | at(i + 2);
    out += kAlphabet[n >> 18 & 63];
    out += kAlphabet[n >> 12 & 63];
    out += kAlphabet[n >> 6 & 63];
    out += kAlphabet[n & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 0) return out;
  const std::uint32_t n = at(i) << 16 | (rest == 2 ? at(i + 1) << 8 : 0);
  out += kAlphabet[n >> 18 & 63];
  out += kAlphabet[n >> 12 & 63];
  out += rest == 2 ? kAlphabet[n >> 6 & 63] : '=';
  out += '=';
  return out;
}

}  // namespace velmora::detail
