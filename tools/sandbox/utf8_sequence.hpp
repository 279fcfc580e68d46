#pragma once

#include <cstddef>
#include <string_view>

namespace velmora::sandbox {

/// The length (1 to 4) of the well-formed UTF-8 sequence that `text` starts with, or 0 when it
/// does not start with one (overlong forms, surrogates and values past U+10FFFF are not). The
/// sandbox keeps a decoder of its own rather than the library's: it is what the library is
/// checked against, so a fault in the library's must not show on both sides at once.
std::size_t utf8SequenceLength(std::string_view text);

}  // namespace velmora::sandbox
