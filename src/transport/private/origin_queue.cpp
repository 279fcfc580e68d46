#include "transport/private/origin_queue.hpp"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "velmora/transport.hpp"

namespace velmora::detail {
namespace {

// An origin with nothing queued or under way for this long is forgotten.
constexpr auto kOriginIdleLimit = std::chrono::seconds(30);

void appendLower(std::string& out, std::string_view text) {
  for (const char c : text)
    out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
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
    // Plain HTTP never multiplexes: one request per connection from the start.
    if (pending.originKey.rfind("http://", 0) == 0) setProtocol(*slot, Protocol::Http1);
  }
  earliestQueuedDeadline = std::min(earliestQueuedDeadline, pending.deadlineAt);
  slot->lastUsed = now;
  ++queued;
  return *slot;
}

void OriginQueues::add(Pending pending, Clock::time_point now) {
  Origin& origin = originOf(pending, now);
  origin.waiting.push_back(std::move(pending));
  offerTurn(origin);
}

void OriginQueues::addFront(Pending pending, Clock::time_point now) {
  Origin& origin = originOf(pending, now);
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
    offerTurn(*origin);
    return origin;
  }
  return nullptr;
}

void OriginQueues::release(Origin& origin, Clock::time_point now) {
  --origin.admitted;
  origin.lastUsed = now;
  offerTurn(origin);
}

void OriginQueues::setProtocol(Origin& origin, Protocol protocol) {
  origin.protocol = protocol;
  origin.capacity = protocol == Protocol::Http2 ? kHttp2Capacity : kHttp1Capacity;
  offerTurn(origin);
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
    } else {
      ++it;
    }
  }
}

}  // namespace velmora::detail
