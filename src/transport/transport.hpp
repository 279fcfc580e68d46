#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "velmora/failure.hpp"

namespace velmora::detail {

/// One HTTP POST as the transport sends it.
struct HttpRequest {
  std::string url;
  std::vector<std::string> headers;  ///< complete header lines, "Name: value", in order
  std::string body;                  ///< empty: the POST carries no body at all
  std::string caFile;                ///< empty: the system trust store
  std::chrono::milliseconds timeout{std::chrono::seconds(60)};   ///< idle time-out
  std::chrono::milliseconds deadline{std::chrono::minutes(10)};  ///< from submit to completion
  std::optional<std::string> proxy;  ///< unset: the environment's; empty: none; else this URL
  bool allowPlainHttp = false;       ///< false: only https URLs are fetched
};

/// What one exchange ended with. `error` is set exactly when no complete HTTP response arrived.
struct HttpResponse {
  bool failed = false;  ///< the exchange failed: `error`, `kind` and the flag below say how
  std::string error;    ///< e.g. "Couldn't connect to server: Failed to connect to ..."
  FailureKind kind = FailureKind::Transport;  ///< meaningful when `failed`
  bool requestMayHaveArrived = true;          ///< false only when no request byte was written
  bool errorIsLine = false;  ///< `error` is the whole printed line (a refusal above the transport)
  long status = 0;           ///< the HTTP status code when !failed
  /// Printable form of a response whose status is outside 2xx (status line, URL, headers): the
  /// only kind ever printed. Empty for a 2xx response.
  std::string description;
  std::string body;  ///< the body bytes, possibly empty
};

/// Largest answer body accepted; a larger one ends the exchange as a failure.
inline constexpr std::size_t kMaxBodyBytes = 16u * 1024u * 1024u;

/// The seam between the operations and the network. The production transport is the libcurl
/// session; tests put a scripted one in its place. Completions (`onDone`, posted tasks) run on
/// the transport's completion thread, one at a time, never inside the call that submitted them.
class Transport {
 public:
  virtual ~Transport() = default;
  /// Starts `request`; `onDone` runs once on the completion thread when the exchange ends.
  virtual void submit(HttpRequest request, std::function<void(HttpResponse&)> onDone) = 0;
  /// Runs `task` once on the completion thread, soon (used to fail a call without sending it).
  virtual void post(std::function<void()> task) = 0;
  /// True on the completion thread.
  virtual bool onCompletionThread() const = 0;
};

/// The transport every operation uses: the libcurl session unless a test has put another in
/// its place. Any thread.
Transport& transport();

/// Puts `replacement` in place of the libcurl session (null restores it). For tests: call it
/// while no request is in flight; the caller keeps ownership.
void setTransport(Transport* replacement);

}  // namespace velmora::detail
