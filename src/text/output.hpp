#pragma once

#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>

namespace velmora::detail {

/// Writes `line` and a line feed to standard output as one write, so that lines printed by
/// different threads never interleave. Any thread.
void printLine(std::string_view line);

/// The line that reports an exception which escaped a completion.
std::string thrownLine(std::exception_ptr thrown);

/// Joins items with one blank, as the library's diagnostic lines are made.
std::string joinWords(std::initializer_list<std::string_view> items);

}  // namespace velmora::detail
