#pragma once

#include <string_view>

namespace velmora::detail {

/// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool isValidUtf8(std::string_view text) noexcept;

/// True when XML 1.0 can carry `text` as character data: well-formed UTF-8 holding no control
/// character other than tab, line feed and carriage return, and no U+FFFE or U+FFFF.
bool isXmlCarriable(std::string_view text) noexcept;

}  // namespace velmora::detail
