#include "transport/private/origin_queue.hpp"

#include <algorithm>
#include <string>
#include <string_view>

#include "velmora/transport.hpp"

namespace velmora::detail {
namespace {

// An origin with nothing queued or under way for this long is forgotten.
constexpr auto kOriginIdleLimit = std::chrono::seconds(30);
// An origin left to widen on its own does so once its calls have waited kSlowWindow with every
// place taken, if every exchange that ended since they started waiting (one at least) took
// kSlowExchange or more: a nearby service answers some requests in far less even on a loaded
// machine, a distant one answers none. An origin whose exchanges never end is stalled, not
// slow: more connections would only pile more requests on it. Over HTTP/1.1 it then widens to
// its whole limit at once: each step would cost one more answer's wait.
constexpr auto kSlowWindow = std::chrono::milliseconds(50);
constexpr auto kSlowExchange = std::chrono::milliseconds(100);
// What an origin left to widen on its own may reach, in connections (HTTP/1.1) or streams.
constexpr std::size_t kAutomaticLimit = 256;

// 0 (left to the origin) or a limit of 1 to kMostPerOrigin; anything else (only a transport's
// own caller can make one) counts as 0.
std::size_t limitOf(int limit) {
  const bool fixed = limit >= 1 && limit <= HttpRequest::kMostPerOrigin;
  return fixed ? static_cast<std::size_t>(limit) : 0;
}

// The client's limit for the origin's protocol; 0 leaves it to the origin.
std::size_t setLimit(const Origin& origin) {
  return origin.protocol == Protocol::Http2 ? origin.streamLimit : origin.connectionLimit;
}

std::size_t limitOf(const Origin& origin) {
  return setLimit(origin) != 0 ? setLimit(origin) : kAutomaticLimit;
}

bool automatic(const Origin& origin) {
  return setLimit(origin) == 0;
}

void startWaiting(Origin& origin, Clock::time_point now) {
  origin.waitingSince = now;
  origin.shortestExchange = Clock::duration::max();
}

bool mayWiden(const Origin& origin) {
  return !origin.waiting.empty() && origin.admitted >= origin.capacity && !origin.probing &&
         origin.protocol != Protocol::Unknown && origin.capacity < limitOf(origin);
}

// Exchanges ended since the calls started waiting, and none sooner than kSlowExchange.
bool slow(const Origin& origin) {
  return origin.shortestExchange >= kSlowExchange &&
         origin.shortestExchange != Clock::duration::max();
}

// ASCII only, as libcurl matches schemes and host names, whatever the process's locale.
void appendLower(std::string& out, std::string_view text) {
  const std::size_t start = out.size();
  out.append(text);
  for (std::size_t i = start; i < out.size(); ++i) {
    if (out[i] >= 'A' && out[i] <= 'Z') out[i] = static_cast<char>(out[i] - 'A' + 'a');
  }
}

}  // namespace

std::string originKeyOf(const HttpRequest& request) {
  std::string_view url = request.url;
  std::string key;
  key.reserve(url.size() + request.caFile.size() + (request.proxy ? request.proxy->size() : 0) + 3);
  const auto schemeEnd = url.find("://");
  if (schemeEnd == std::string_view::npos) {
    key.assign(url);
  } else {
    std::string_view authority = url.substr(schemeEnd + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
      authority.remove_prefix(at + 1);
    }
    appendLower(key, url.substr(0, schemeEnd + 3));
    appendLower(key, authority);
  }
  key.append("\n").append(request.caFile).append("\n");
  if (request.proxy) key.append("=").append(*request.proxy);
  key.append("\n").append(std::to_string(request.connectionsPerOrigin));
  key.append("/").append(std::to_string(request.streamsPerOrigin));
  return key;
}

Clock::time_point clampedDeadline(Clock::time_point now, std::chrono::milliseconds limit) {
  const auto bounded = std::clamp<std::chrono::milliseconds>(limit, std::chrono::milliseconds(0),
                                                             HttpRequest::kLongestTimeLimit);
  return now + bounded;
}

Origin& OriginQueues::originOf(const Pending& pending, Clock::time_point now) {
  std::unique_ptr<Origin>& slot = origins[pending.originKey];
  if (!slot) {
    slot = std::make_unique<Origin>();
    slot->connectionLimit = limitOf(pending.request.connectionsPerOrigin);
    slot->streamLimit = limitOf(pending.request.streamsPerOrigin);
    // Plain HTTP never multiplexes: one request per connection from the start.
    if (pending.originKey.rfind("http://", 0) == 0) setProtocol(*slot, Protocol::Http1, now);
  }
  earliestQueuedDeadline = std::min(earliestQueuedDeadline, pending.deadlineAt);
  slot->lastUsed = now;
  ++queued;
  return *slot;
}

void OriginQueues::add(Pending pending, Clock::time_point now) {
  Origin& origin = originOf(pending, now);
  if (origin.waiting.empty()) startWaiting(origin, now);
  origin.waiting.push_back(std::move(pending));
  offerTurn(origin);
}

void OriginQueues::addFront(Pending pending, Clock::time_point now) {
  Origin& origin = originOf(pending, now);
  if (origin.waiting.empty()) startWaiting(origin, now);
  origin.waiting.push_front(std::move(pending));
  offerTurn(origin);
}

void OriginQueues::offerTurn(Origin& origin) {
  if (!origin.inTurn && !origin.waiting.empty() && origin.admitted < origin.capacity) {
    origin.inTurn = true;
    turns.push_back(&origin);
  }
}

Origin* OriginQueues::takeNext(Pending& out) {
  while (!turns.empty()) {
    Origin* origin = turns.front();
    turns.pop_front();
    origin->inTurn = false;
    if (origin->waiting.empty() || origin->admitted >= origin->capacity) continue;
    out = std::move(origin->waiting.front());
    origin->waiting.pop_front();
    --queued;
    ++origin->admitted;
    out.sentAt = Clock::time_point();
    out.connection = -1;
    offerTurn(*origin);
    return origin;
  }
  return nullptr;
}

void OriginQueues::release(Origin& origin, const Pending& ended, Clock::time_point now) {
  --origin.admitted;
  origin.lastUsed = now;
  // A handshake slowed by a busy machine says nothing of the service: only the exchange counts,
  // and a request never written says nothing at all.
  if (ended.sentAt != Clock::time_point()) {
    origin.shortestExchange = std::min(origin.shortestExchange, now - ended.sentAt);
  }
  if (const auto on = origin.streamsOn.find(ended.connection); on != origin.streamsOn.end()) {
    if (--on->second == 0) origin.streamsOn.erase(on);
  }
  offerTurn(origin);
}

void OriginQueues::setProtocol(Origin& origin, Protocol protocol, Clock::time_point now) {
  origin.protocol = protocol;
  origin.probing = false;
  const std::size_t first = protocol == Protocol::Http2 ? kStreamsPerConnection
                            : automatic(origin)         ? kFirstConnections
                                                        : limitOf(origin);
  origin.capacity = std::min(first, limitOf(origin));
  startWaiting(origin, now);
  widthsChanged = true;
  offerTurn(origin);
}

// Which request goes out on the new connection is libcurl's choice: the probe may find a stream
// that ended meanwhile, and the request admitted in that stream's place open the connection.
// So the origin counts connections in use, not which request was the probe.
void OriginQueues::started(Origin& origin, Pending& pending, std::int64_t connection,
                           Clock::time_point now) {
  pending.sentAt = now;
  if (origin.protocol != Protocol::Http2 || connection < 0) return;
  pending.connection = connection;
  // Only a connection's first request can show one more connection in use.
  if (++origin.streamsOn[connection] > 1 || !origin.probing) return;
  const std::size_t inUse = origin.streamsOn.size();
  const std::size_t counted =
      (origin.capacity - 1 + kStreamsPerConnection - 1) / kStreamsPerConnection;
  if (inUse <= counted) return;
  origin.probing = false;
  origin.capacity = std::min(limitOf(origin), inUse * kStreamsPerConnection);
  widthsChanged = true;
  offerTurn(origin);
}

// An origin widens only while its requests wait with every place taken: one with room to
// spare would gain nothing. One with a limit of its own widens at once; one left to itself only
// while slow, and a short burst at a fast service never lasts a window.
Clock::time_point OriginQueues::widen(Clock::time_point now) {
  auto next = Clock::time_point::max();
  if (queued == 0) return next;
  for (auto& entry : origins) {
    Origin& origin = *entry.second;
    if (!mayWiden(origin)) continue;
    if (!automatic(origin)) {
      widenOne(origin);
    } else if (now < origin.waitingSince + kSlowWindow) {
      next = std::min(next, origin.waitingSince + kSlowWindow);
    } else if (slow(origin)) {
      widenOne(origin);
    }
  }
  return next;
}

// HTTP/1.1 widens to its limit at once. HTTP/2 admits one request beyond its connections, for
// which libcurl opens a new connection, and widens by that connection's streams once it is in
// use (the next may follow at once): a burst beyond a full connection would make libcurl open a
// connection for nearly every request of the burst.
void OriginQueues::widenOne(Origin& origin) {
  if (origin.protocol == Protocol::Http2) {
    origin.probing = true;
    ++origin.capacity;
  } else {
    origin.capacity = limitOf(origin);
  }
  widthsChanged = true;
  offerTurn(origin);
}

std::size_t OriginQueues::connectionsAllowed() const {
  std::size_t total = 0;
  for (const auto& entry : origins) {
    const Origin& origin = *entry.second;
    total += origin.protocol == Protocol::Http2
                 ? (origin.capacity + kStreamsPerConnection - 1) / kStreamsPerConnection
                 : origin.capacity;
  }
  return total;
}

void OriginQueues::expireQueued(Clock::time_point now,
                                const std::function<void(Pending&)>& expire) {
  if (now < earliestQueuedDeadline) return;
  earliestQueuedDeadline = Clock::time_point::max();
  for (auto& entry : origins) {
    std::deque<Pending>& waiting = entry.second->waiting;
    std::deque<Pending> kept;
    for (Pending& pending : waiting) {
      if (pending.deadlineAt <= now) {
        expire(pending);
        --queued;
      } else {
        earliestQueuedDeadline = std::min(earliestQueuedDeadline, pending.deadlineAt);
        kept.push_back(std::move(pending));
      }
    }
    waiting.swap(kept);
  }
}

void OriginQueues::prune(Clock::time_point now) {
  for (auto it = origins.begin(); it != origins.end();) {
    const Origin& origin = *it->second;
    if (origin.admitted == 0 && origin.waiting.empty() && !origin.inTurn &&
        now - origin.lastUsed > kOriginIdleLimit) {
      it = origins.erase(it);
      widthsChanged = true;
    } else {
      ++it;
    }
  }
}

}  // namespace velmora::detail
