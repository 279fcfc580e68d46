#include "text/output.hpp"

#include <cstdio>
#include <mutex>

namespace velmora::detail {
namespace {

struct LineOutput {
  std::mutex mutex;
  std::function<void(std::string_view)> sink;
};

// Never destroyed: completions may still print while the process exits.
LineOutput& output() {
  static auto* instance = new LineOutput;
  return *instance;
}

}  // namespace

void printLine(std::string_view line) {
  std::string whole;
  whole.reserve(line.size() + 1);
  whole.append(line).push_back('\n');
  LineOutput& out = output();
  std::lock_guard<std::mutex> lock(out.mutex);
  if (out.sink) {
    out.sink(line);
    return;
  }
  // One fwrite per line under the lock: lines never interleave. Standard output keeps its
  // usual buffering (line by line on a terminal), which a burst of requests relies on.
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

void setLineSink(std::function<void(std::string_view)> sink) {
  LineOutput& out = output();
  std::lock_guard<std::mutex> lock(out.mutex);
  out.sink = std::move(sink);
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
