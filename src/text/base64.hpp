#pragma once

#include <string>
#include <string_view>

namespace velmora::detail {

/// Standard base64 (RFC 4648 alphabet with "+" and "/", "=" padding, no line breaks).
std::string base64Encode(std::string_view bytes);

}  // namespace velmora::detail
