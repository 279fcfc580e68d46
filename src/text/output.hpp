#pragma once

#include <exception>
#include <functional>
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

/// Redirects the lines printed without a client's diagnostics to `sink` (for the benchmark and
/// the fuzzers, which call the answer readers directly); an empty function restores standard
/// output.
void setLineSink(std::function<void(std::string_view)> sink);

}  // namespace velmora::detail
