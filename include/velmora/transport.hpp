#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velmora/export.h"
#include "velmora/failure.hpp"

namespace velmora {

/// One HTTP POST as a transport receives it. A plain value; the transport owns its copy.
struct HttpRequest {
  /// The longest `timeout` and `deadline` the library accepts: 24 hours. Anything longer is a
  /// mistake, not a wish, and refusing it keeps every conversion of a limit far from overflow.
  static constexpr std::chrono::hours kLongestTimeLimit{24};

  std::string url;                   ///< where the POST goes, scheme included
  std::vector<std::string> headers;  ///< complete header lines, "Name: value", in order
  std::string body;                  ///< empty: the POST carries no body at all
  std::string caFile;                ///< empty: the system trust store
  std::chrono::milliseconds timeout{std::chrono::seconds(60)};   ///< idle time-out
  std::chrono::milliseconds deadline{std::chrono::minutes(10)};  ///< from submit to completion
  std::optional<std::string> proxy;  ///< unset: the environment's; empty: none; else this URL
  bool allowPlainHttp = false;       ///< false: only https URLs are fetched

  /// The highest `connectionsPerOrigin` and `streamsPerOrigin`: a bound on the sockets and the
  /// burst one process may aim at one host.
  static constexpr int kMostPerOrigin = 1024;

  /// The most requests of this request's origin under way at once over HTTP/1.1, one per
  /// connection: 0 lets the origin widen with its speed, 1 to `kMostPerOrigin` fixes the limit
  /// (see `Options::maxConnectionsPerOrigin`). Requests of one origin with different limits
  /// wait in separate queues, each held to its own.
  int connectionsPerOrigin = 0;
  /// The same over HTTP/2, in streams (see `Options::maxStreamsPerOrigin`).
  int streamsPerOrigin = 0;
};

/// What one exchange ended with: a complete HTTP response, or a failure before one arrived.
struct HttpResponse {
  bool failed = false;  ///< no complete response: `error`, `kind` and the flag below say why
  std::string error;    ///< e.g. "Couldn't connect to server: Failed to connect to ..."
  FailureKind kind = FailureKind::Transport;  ///< meaningful when `failed`
  bool requestMayHaveArrived = true;          ///< false only when no request byte was written
  long status = 0;                            ///< the HTTP status code when !failed
  /// For a status outside 2xx: the status line ("HTTP/1.1 503 Service Unavailable") and the
  /// header lines ("Name: value"), as received, for the line that describes the refusal. Empty
  /// for a 2xx response, whose body alone the library reads.
  std::string statusLine;
  std::vector<std::string> headers;  ///< see `statusLine`
  std::string body;                  ///< the body bytes, possibly empty
};

/// How a client's requests travel: request in, response or failure out. The default is the
/// library's libcurl session, shared by every client; `Options::transport` puts another in its
/// place for one client (see velmora/testing.hpp for a scripted one).
///
/// Threads: `submit` and `post` may be called from any thread at once and never run their
/// callable inside the call. Callables run on the transport's completion thread, one at a time,
/// in the order the exchanges (or posts) finished, never on the I/O thread.
class VELMORA_EXPORT Transport {
 public:
  virtual ~Transport();
  /// Starts `request`; `onDone` runs once on the completion thread when the exchange ends.
  /// @param request what to send; the transport keeps its own copy
  /// @param onDone receives the response or the failure; may start new requests
  virtual void submit(HttpRequest request, std::function<void(HttpResponse&)> onDone) = 0;
  /// Runs `task` once on the completion thread, soon (a call that sends nothing ends so).
  /// Callables must not throw: the shared session drops an exception so that its completion
  /// thread lives on.
  /// @param task what to run
  virtual void post(std::function<void()> task) = 0;
  /// True on this transport's completion thread.
  /// @return whether the calling thread is it
  virtual bool onCompletionThread() const = 0;
};

/// The libcurl session that clients without their own transport share; started on first use
/// and alive until the process exits. Any thread.
/// @return the session; never null
VELMORA_EXPORT std::shared_ptr<Transport> sharedTransport();

}  // namespace velmora
