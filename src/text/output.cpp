#include "text/output.hpp"

#include <cstdio>

namespace velmora::detail {
void printLine(std::string_view line) {
  std::string whole;
  whole.reserve(line.size() + 1);
  whole.append(line).push_back('\n');
  // One fwrite per line: stdio locks the stream for the call, so lines never interleave.
  // Standard output keeps its usual buffering (line by line on a terminal), which a burst of
  // requests relies on.
  std::fwrite(whole.data(), 1, whole.size(), stdout);
}

std::string joinWords(std::initializer_list<std::string_view> items) {
  std::string line;
  for (std::string_view item : items) {
    if (!line.empty()) line.push_back(' ');
    line.append(item);
  }
  return line;
}

std::string thrownLine(std::exception_ptr thrown) {
  try {
    std::rethrow_exception(std::move(thrown));
  } catch (const std::exception& e) {
    return std::string("velmora: a completion handler threw: ") + e.what();
  } catch (...) {
    return "velmora: a completion handler threw a non-standard exception";
  }
}

}  // namespace velmora::detail
