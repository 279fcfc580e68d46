#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "transport/failure_scope.hpp"
#include "transport/transport.hpp"
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

/// Why a call must send nothing: a reason that the refusal line puts after the operation's
/// name, or, for the URL scheme refusal, a whole line of its own.
struct Refusal {
  std::string text;     ///< empty: nothing is refused
  bool isLine = false;  ///< `text` is the whole line
  explicit operator bool() const { return !text.empty(); }
};

/// The line printed for `refusal`: "<operation>: <reason>; nothing sent", or its own line.
std::string refusalLine(const Reporter& reporter, const Refusal& refusal);

/// Ends a call that must send nothing: runs `onDone` on the completion thread (never inside this
/// call) with a failed response of kind RefusedInput whose error is `line`, the refusal line
/// that `exchangeFailure` prints. Both protocols refuse through here.
void failWithoutSending(std::string line, std::function<void(HttpResponse&)> onDone);

/// Starts `request` on the current transport; `onDone` runs once on its completion thread.
void send(HttpRequest request, std::function<void(HttpResponse&)> onDone);

/// The failure of a finished exchange, after printing its lines (the refusal line, "error ...",
/// or the two status lines); nothing, and nothing printed, for a 2xx answer.
std::optional<Failure> exchangeFailure(const HttpResponse& response, const Reporter& reporter);

/// Reports an exception that escaped a completion, as one line.
void reportThrown(const Reporter& reporter, std::exception_ptr thrown);

/// Hands `value` to `completion` (skipped when empty) with `failure` as what currentFailure()
/// returns meanwhile. An exception it throws is reported and goes no further.
template <class Value>
void deliver(const Reporter& reporter, const std::function<void(Value)>& completion, Value value,
             const std::optional<Failure>& failure) {
  if (!completion) return;
  FailureScope scope(failure ? &*failure : nullptr);
  try {
    completion(std::move(value));
  } catch (...) {
    reportThrown(reporter, std::current_exception());
  }
}

}  // namespace velmora::detail
