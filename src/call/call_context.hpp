#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "call/call_time.hpp"
#include "velmora/diagnostics.hpp"

namespace velmora::detail {

/// A client's diagnostics callable; null or empty means standard output.
using DiagnosticSink = std::function<void(const Diagnostic&)>;

/// One call as it travels through the layers: what it is, where its lines go, when it must end
/// and how often its request was tried. The transport never sees it. A plain value; holds the
/// client's diagnostics callable, never the client.
struct CallContext {
  const char* operation = "";  ///< e.g. "SendMessage": a string literal that outlives the call
  std::shared_ptr<const DiagnosticSink> sink;  ///< where its lines go; null: standard output
  std::string url;                     ///< where its request goes, once the call has built it
  SteadyClock::time_point deadline{};  ///< set by the client's queue when the call enters it
  int attempts = 0;                    ///< tries so far; its completion sees them all

  /// Prints `line` (without its line feed) under the operation's name. An exception from the
  /// callable is dropped.
  void print(DiagnosticKind kind, std::string_view line) const;
};

}  // namespace velmora::detail
