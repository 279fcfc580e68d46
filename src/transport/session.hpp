#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velmora::detail {

/// One HTTP POST as the session sends it.
struct HttpRequest {
  std::string url;
  std::vector<std::string> headers;  ///< complete header lines, "Name: value", in order
  std::string body;                  ///< empty: the POST carries no body at all
  std::string caFile;                ///< empty: the system trust store
  std::chrono::milliseconds timeout{std::chrono::seconds(60)};  ///< idle time-out
  bool allowPlainHttp = false;  ///< false: only https URLs are fetched
};

/// What one exchange ended with. `error` is set exactly when no HTTP response arrived.
struct HttpResponse {
  bool failed = false;  ///< transport failure: `error` describes it
  std::string error;    ///< e.g. "Couldn't connect to server: Failed to connect to ..."
  long status = 0;      ///< the HTTP status code when !failed
  /// Printable form of a response whose status is outside 2xx (status line, URL, headers): the
  /// only kind ever printed. Empty for a 2xx response.
  std::string description;
  std::string body;  ///< the body bytes, possibly empty
};

/// Largest answer body accepted; a larger one ends the exchange as a transport failure.
inline constexpr std::size_t kMaxBodyBytes = 16u * 1024u * 1024u;

/// The process-wide HTTP session: one background thread drives every transfer with libcurl's
/// multi interface. Other threads only enqueue work and wake it. Completions run on that thread,
/// one at a time; an exception escaping one is caught and reported as one printed line.
class Session {
 public:
  /// The session, started on first use. Lives until the process exits.
  static Session& shared();

  /// Starts `request`; `onDone` runs once on the session thread when the exchange ends.
  void submit(HttpRequest request, std::function<void(HttpResponse&)> onDone);

  /// Runs `task` once on the session thread, soon (used to fail a call without sending it).
  void post(std::function<void()> task);

  /// True on the session thread.
  bool onSessionThread() const;

  class Impl;

 private:
  Session();
  std::unique_ptr<Impl> impl;
};

}  // namespace velmora::detail
