#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "velmora/config.hpp"
#include "velmora/diagnostics.hpp"
#include "velmora/transport.hpp"

namespace velmora {

/// When and how often a client sends a failed request again by itself. A request that provably
/// never left the process (`Failure::requestMayHaveArrived == false`: connection refused, DNS or
/// TLS failure before the request was written) is tried again, so a retry can never deliver
/// anything twice; refused input, a deadline that passed and shutdown are final. With `reads`,
/// the operations that only read go again after a time-out, a lost connection or a 5xx, 408 or
/// 429 status too. A refusal by the service is an answer and never tried again. @ref failures
/// says which failures each rule retries.
/// Every try and back-off fits inside the call's `Options::deadline`, counted from the call, and
/// the completion runs once, after the last try.
struct RetryPolicy {
  /// Tries in all, the first included: 1 (the default) means no retry; at most 10.
  int attempts = 1;
  /// The pause before the second try; at least 0, at most 24 hours.
  std::chrono::milliseconds firstBackoff{200};
  /// Each later pause is the one before times this; at least 1.
  double multiplier = 2.0;
  /// Randomness of a pause, in [0, 1]: a pause of d is drawn uniformly from [d * (1 - jitter),
  /// d], so that clients refused together do not all come back at the same instant.
  double jitter = 0.5;
  /// Also try again the reads (credit, prices, white list, both delivery statuses, group
  /// message id, inbox pages) after a failure that may have reached the service: repeating a
  /// read cannot deliver anything. Sends and verification codes keep the rule above.
  bool reads = false;
};

/// Runs the completions one client hands it: each call of `Executor` gets one task, which it must
/// run exactly once (at once, or later on a thread of its choosing) and must not throw from; an
/// exception it throws is dropped and the task then runs at once on the library's thread. The
/// library calls it from its I/O thread (or a custom transport's completion thread), never from
/// inside an operation's call, possibly while the application's other threads call operations.
using Executor = std::function<void(std::function<void()> task)>;

/// An executor that runs each completion at once on the library's I/O thread: no thread switch
/// between the answer and its completion, the fastest way for a caller that makes its next call
/// from the completion. Contract: such completions must be short and must never block (no
/// waiting on a future, a lock held long, a file or a network call), since while one runs no
/// request of the whole process moves. Any thread.
/// @return the executor; a plain value
VELMORA_EXPORT Executor inlineExecutor();

/// Endpoints, trust, time-outs, proxy and diagnostics of one client. A plain value: copy it
/// freely, on any thread. A default-made `Options` holds the library's built-in constants.
/// The client checks them once, when it is made; a value out of its rules below makes each
/// operation it concerns send nothing, print one line naming the operation and the option, and
/// complete with the absent value (`currentFailure()` then reports `FailureKind::RefusedInput`).
struct Options {
  /// HTTPS origin that the JSON operations append "/api/smsAPI/<Operation>" to: scheme https
  /// (any letter case), a host, an optional port and path prefix; one trailing slash is dropped.
  /// A user name or password, a query, a fragment or a control character is refused.
  /// Default: the build's `VELMORA_REST_BASE_URL` (no trailing slash).
  std::string restBaseUrl = VELMORA_DEFAULT_REST_BASE_URL;

  /// Full URL of the SOAP endpoint of the verification-code operations: http or https (any
  /// letter case), a host, a path; refused as `restBaseUrl` is. Prefer https: over http, the
  /// envelope with the account's password can be read on the way, by a proxy too.
  /// Default: the build's `VELMORA_SOAP_URL`, ending in "/fastsend.asmx".
  std::string soapUrl = VELMORA_DEFAULT_SOAP_URL;

  /// Service namespace URI of the SOAP envelopes and SOAPAction values; ends with "/". Must be
  /// an absolute http or https URI ("http://", a host) without control characters or spaces,
  /// that XML can carry: it goes into a header and into every envelope.
  /// Default: the build's `VELMORA_SOAP_NAMESPACE`.
  std::string soapNamespace = VELMORA_DEFAULT_SOAP_NAMESPACE;

  /// PEM file of the certificate authorities to trust for HTTPS.
  /// Default: empty, meaning the system trust store. Verification itself is always on.
  std::string caFile;

  /// The longest `timeout` and `deadline` a client accepts: 24 hours.
  static constexpr std::chrono::hours kLongestTimeLimit = HttpRequest::kLongestTimeLimit;

  /// Idle time-out: how long a request under way may make no progress (connecting included)
  /// before it fails. Time spent waiting for a connection in the library's queue does not count.
  /// Must be positive and at most 24 hours. Default: 60 seconds.
  std::chrono::milliseconds timeout{std::chrono::seconds(60)};

  /// The longest time from the call to its completion, waiting in the library's queue
  /// included. Must be positive and at most 24 hours. Default: 10 minutes.
  std::chrono::milliseconds deadline{std::chrono::minutes(10)};

  /// The proxy for this client's requests. Unset (the default): libcurl's environment variables
  /// are honoured (`https_proxy`, `http_proxy`, `all_proxy`, `no_proxy`). An empty string: no
  /// proxy, whatever the environment says. Otherwise a proxy URL ("http://", "https://",
  /// "socks5h://", with a host; other schemes are refused); its credentials never appear in a
  /// printed line.
  std::optional<std::string> proxy;

  /// Where this client's diagnostics go. Unset (the default): standard output, each followed by
  /// a line feed. Most are one line; a request body (the sends and `ReceiveMessages` write
  /// theirs over several lines) and a SOAP answer's body keep their own line breaks. Set: to
  /// this callable only, none to standard output, with the operation's name and the
  /// diagnostic's kind, on the thread that produces the line (the caller's or a library thread,
  /// possibly several at once); an exception it throws is caught and dropped. The client keeps
  /// a copy, which calls in flight share until they complete.
  std::function<void(const Diagnostic&)> diagnostics;

  /// How this client's requests travel. Unset (the default): the libcurl session that every
  /// such client shares (`sharedTransport()`). Set: this transport only, e.g. a
  /// `testing::ScriptedTransport` that answers without a network. The client shares ownership
  /// of it; a transport runs every callable it accepted, even when destroyed first.
  std::shared_ptr<Transport> transport;

  /// Where this client's completions run. Unset (the default): the library's completion thread,
  /// which every client without an executor shares, one completion at a time. Set: each
  /// completion (refusals and deadline failures included) is handed to this executor as a task,
  /// so that a slow completion of this client delays no other client's, and an application can
  /// have completions delivered to its own event loop or thread pool; `inlineExecutor()` runs
  /// them on the I/O thread. `drain` called from inside a task of this client does not wait.
  Executor executor;

  /// Automatic retries of requests that never left the process. Default: none.
  RetryPolicy retry;

  /// The most requests per second this client sends, retries included; 0 (the default) means
  /// no limit. A token bucket holding max(1, rate / 50) tokens: after a quiet spell up to that
  /// many requests (20 ms worth) go at once, and a long run goes out at the set rate. Calls over
  /// the rate wait in this client's own queue, their deadline running; other clients never wait
  /// for them. Must be finite, at least 0 and at most 1,000,000.
  double maxRequestsPerSecond = 0;

  /// The most requests of this client under way at once; 0 (the default) means no limit. Calls
  /// beyond it wait in this client's queue, their deadline running: one whose deadline passes
  /// there completes with `FailureKind::Deadline`, nothing sent. At least 0.
  int maxInFlight = 0;

  /// The most connections, one request each, that the shared session opens to one origin
  /// (scheme, host and port) speaking HTTP/1.1 for this client's requests; calls beyond them
  /// wait in the origin's queue, their deadline running and their idle time-out not. Each
  /// origin keeps to its own limit, so a slow one delays no other; `maxInFlight` and
  /// `maxRequestsPerSecond` hold the client back before this does.
  ///
  /// 0 (the default) leaves it to the origin's speed: it starts with 16 connections and widens
  /// to 256 once its calls have waited 50 ms with every connection busy and every answer since
  /// they started waiting (one at least) took 100 ms or more. A service that answers in
  /// milliseconds keeps few connections and pays no handshakes it does not need; one that takes
  /// L seconds an answer carries up to 256 / L calls a second (1,280 at 200 ms). A service that
  /// stops answering keeps its 16, so that no more calls pile up on it.
  ///
  /// 1 to `HttpRequest::kMostPerOrigin` (1,024): up to this many, opened as calls need them
  /// whatever the service's speed (at a fast service, more connections cost handshakes and
  /// gain nothing).
  int maxConnectionsPerOrigin = 0;

  /// The same over HTTP/2, in streams. 0 (the default): an origin starts with one connection's
  /// streams (100, fewer when the server says so) and, while slow as above, opens one more
  /// connection at a time, up to 256 streams. 1 to 1,024: up to this many streams, a connection
  /// opened for each further 100 as calls need them.
  int maxStreamsPerOrigin = 0;
};

}  // namespace velmora
