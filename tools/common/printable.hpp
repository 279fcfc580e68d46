#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora::tools {

/// The length (1 to 4) of the well-formed UTF-8 sequence that `text` starts with, or 0 when it
/// does not start with one. Each program passes its own: the command-line tool the library's,
/// the sandbox one that does not depend on the library it checks.
using Utf8SequenceLength = std::size_t (*)(std::string_view text);

/// `text` as it may be written into one line of a terminal or a log: a backslash becomes `\\`,
/// line feed, carriage return and tab `\n`, `\r`, `\t`, and every other control character (C0,
/// DEL, C1) and every byte that `sequenceLength` does not find in well-formed UTF-8 `\xHH`, one
/// per byte. Anything else is kept, so the result is well-formed UTF-8 without controls and reads
/// back unambiguously.
std::string printable(std::string_view text, Utf8SequenceLength sequenceLength);

/// `json`, a document as nlohmann's dump() writes it, with the control characters that dump()
/// leaves raw (DEL and C1, the same ones `printable` escapes) written as `\u007f` to `\u009f`:
/// still the same JSON, and safe on a terminal. `json` must be well-formed UTF-8.
std::string printableJson(std::string_view json);

}  // namespace velmora::tools
