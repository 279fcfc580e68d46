#pragma once

#include <cstddef>
#include <string_view>

#include "velmora/export.h"

namespace velmora {

/// True when `text` is well-formed UTF-8 throughout: no overlong form, no surrogate (U+D800 to
/// U+DFFF), nothing past U+10FFFF, no sequence cut short. The client refuses to send a text
/// that fails this check. Any thread; keeps no reference to `text`.
/// @param text the bytes to check
/// @return whether they are well-formed UTF-8
VELMORA_EXPORT bool isValidUtf8(std::string_view text) noexcept;

/// The length in bytes (1 to 4) of the well-formed UTF-8 sequence that `text` starts with, by
/// the rules of `isValidUtf8`; 0 when `text` is empty or starts with anything else. Only that
/// first sequence is looked at. Any thread; keeps no reference to `text`.
/// @param text the bytes whose first sequence is measured
/// @return the sequence's length, or 0
VELMORA_EXPORT std::size_t utf8SequenceLength(std::string_view text) noexcept;

}  // namespace velmora
