#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

#include "transport/transport.hpp"

namespace velmora::detail {

using Clock = std::chrono::steady_clock;

/// Where the I/O loop reads the time for the limits of requests (deadlines, idle time-outs,
/// widening, the clients' timers): the steady clock, or a test's hand-moved one. Called from
/// any thread that submits, so it must be safe to call from several at once.
using LoopClock = std::function<Clock::time_point()>;

/// What an HTTP/1.1 origin starts with: connections, one request each. Enough for a service that
/// answers in milliseconds, where each further connection would cost a handshake and gain nothing.
inline constexpr std::size_t kFirstConnections = 16;
/// The most streams libcurl puts on one HTTP/2 connection (fewer when the server says so); an
/// origin allowed more streams than that gets more connections.
inline constexpr std::size_t kStreamsPerConnection = 100;

/// A submitted request that has not ended yet.
struct Pending {
  HttpRequest request;
  std::function<void(HttpResponse&)> onDone;
  Clock::time_point deadlineAt;  ///< when the request's deadline passes
  std::string originKey;         ///< see originKeyOf()
  int resends = 0;               ///< times a GOAWAY refusing its whole connection sent it out again
  Clock::time_point sentAt;      ///< when its request was last about to be written; 0 not yet
  std::int64_t connection = -1;  ///< HTTP/2: the connection its request went out on, once known
  bool direct = false;           ///< `onDone` runs on the I/O thread, not the completion thread
};

/// Names the connections `request` can share: scheme, host and port of its URL (lower case,
/// without user information), its trust store and its proxy setting.
std::string originKeyOf(const HttpRequest& request);

/// `now + limit`, clamped to at most 24 hours so that no value can overflow the clock.
Clock::time_point clampedDeadline(Clock::time_point now, std::chrono::milliseconds limit);

/// What an origin's TLS handshake chose, as far as known.
enum class Protocol { Unknown, Http1, Http2 };

/// One origin's queue and admission count.
struct Origin {
  std::deque<Pending> waiting;
  std::size_t admitted = 0;  ///< transfers of this origin under way in libcurl
  std::size_t capacity = 1;  ///< how many its connections carry at once, as known so far
  Protocol protocol = Protocol::Unknown;
  bool inTurn = false;  ///< listed among the origins waiting for their turn
  Clock::time_point lastUsed;
  // The client's limits, by protocol: what it may widen to; 0 leaves it to the origin's speed.
  std::size_t connectionLimit = 0;
  std::size_t streamLimit = 0;
  // Since when its calls wait, and the shortest exchange that ended since (see widen()).
  Clock::time_point waitingSince;
  Clock::duration shortestExchange = Clock::duration::max();
  // HTTP/2: one place was added beyond what its connections carry, so that libcurl opens
  // another; the origin widens once a request goes out on a connection more than it counted.
  bool probing = false;
  std::unordered_map<std::int64_t, std::size_t> streamsOn;  ///< HTTP/2: requests by connection
};

/// The origins' queues, admitted in turn (round robin) within each origin's capacity.
/// Touched by the I/O thread only.
class OriginQueues {
 public:
  /// Puts `pending` at the end of its origin's queue.
  void add(Pending pending, Clock::time_point now);
  /// Puts `pending` back at the front of its origin's queue, to go next (a request the server
  /// provably did not process).
  void addFront(Pending pending, Clock::time_point now);
  /// The next request to admit, taken in turn from the origins below capacity; null origin
  /// when none may start. Counts it as admitted.
  Origin* takeNext(Pending& out);
  /// One transfer of `origin`, `ended`, ended.
  void release(Origin& origin, const Pending& ended, Clock::time_point now);
  /// Records the protocol `origin`'s handshake chose and widens (or narrows) what it may have
  /// under way at once to match.
  void setProtocol(Origin& origin, Protocol protocol, Clock::time_point now);
  /// `pending`, of `origin`, is about to be written on `connection` (libcurl's number; -1
  /// unknown) at `now`: its exchange counts from here, the connection's set-up left out. An
  /// HTTP/2 origin that probes for another connection widens by 100 streams for each connection
  /// in use beyond those it counted.
  void started(Origin& origin, Pending& pending, std::int64_t connection, Clock::time_point now);
  /// Widens each origin whose requests wait while its service is slow; returns when to look
  /// again (the far future when no origin may widen).
  Clock::time_point widen(Clock::time_point now);
  /// How many connections the known origins may keep open at their present widths.
  std::size_t connectionsAllowed() const;
  /// True once after any origin's width changed or an origin was forgotten.
  bool takeWidthsChanged() { return std::exchange(widthsChanged, false); }
  /// Hands every queued request whose deadline has passed to `expire`, at most once per
  /// earliest queued deadline.
  void expireQueued(Clock::time_point now, const std::function<void(Pending&)>& expire);
  /// Forgets origins idle for a while (what was learned about their protocol goes too).
  void prune(Clock::time_point now);
  bool anyQueued() const { return queued != 0; }
  /// The earliest deadline of a queued request (the far future when none is queued).
  Clock::time_point nextQueuedDeadline() const { return earliestQueuedDeadline; }

 private:
  void offerTurn(Origin& origin);
  void widenOne(Origin& origin);
  Origin& originOf(const Pending& pending, Clock::time_point now);

  std::unordered_map<std::string, std::unique_ptr<Origin>> origins;
  std::deque<Origin*> turns;  // origins with waiting requests and room, in turn order
  std::size_t queued = 0;
  bool widthsChanged = false;
  Clock::time_point earliestQueuedDeadline = Clock::time_point::max();
};

}  // namespace velmora::detail
