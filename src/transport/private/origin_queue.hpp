#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "transport/transport.hpp"

namespace velmora::detail {

using Clock = std::chrono::steady_clock;

/// Requests one origin may have under way over HTTP/1.1: one per connection, 16 connections.
inline constexpr std::size_t kHttp1Capacity = 16;
/// Requests one origin may have under way over HTTP/2: streams on its connection.
inline constexpr std::size_t kHttp2Capacity = 100;

/// A submitted request that has not ended yet.
struct Pending {
  HttpRequest request;
  std::function<void(HttpResponse&)> onDone;
  Clock::time_point deadlineAt;  ///< when the request's deadline passes
  std::string originKey;         ///< see originKeyOf()
  int resends = 0;               ///< times a GOAWAY refusing its whole connection sent it out again
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
  /// One transfer of `origin` ended.
  void release(Origin& origin, Clock::time_point now);
  /// Records the protocol `origin`'s handshake chose and widens (or narrows) what it may have
  /// under way at once to match.
  void setProtocol(Origin& origin, Protocol protocol);
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
  Origin& originOf(const Pending& pending, Clock::time_point now);

  std::unordered_map<std::string, std::unique_ptr<Origin>> origins;
  std::deque<Origin*> turns;  // origins with waiting requests and room, in turn order
  std::size_t queued = 0;
  Clock::time_point earliestQueuedDeadline = Clock::time_point::max();
};

}  // namespace velmora::detail
