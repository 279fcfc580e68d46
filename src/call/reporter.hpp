#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "velmora/diagnostics.hpp"

namespace velmora::detail {

/// A client's diagnostics callable; null or empty means standard output.
using DiagnosticSink = std::function<void(const Diagnostic&)>;

/// Where the lines of one call go: to its client's diagnostics callable when one is set,
/// otherwise to standard output. Cheap to copy; holds the callable, never the client.
class Reporter {
 public:
  /// `operation` must outlive every copy (the operations pass string literals).
  Reporter(const char* operation, std::shared_ptr<const DiagnosticSink> sink)
      : operation_(operation), sink_(std::move(sink)) {}

  /// Prints `line` (without its line feed). An exception from the callable is dropped.
  void print(DiagnosticKind kind, std::string_view line) const;
  const char* operation() const { return operation_; }

 private:
  const char* operation_;
  std::shared_ptr<const DiagnosticSink> sink_;
};

}  // namespace velmora::detail
