#pragma once

#include <functional>
#include <memory>
#include <string>

#include "call/call_context.hpp"
#include "call/call_queue.hpp"
#include "velmora/result.hpp"
#include "velmora/transport.hpp"

namespace velmora::detail {

/// Posts `body` (none when empty) to "<request.url>/api/smsAPI/<operation>" with
/// `authorization`, `request` carrying the client's origin, trust, time-outs and proxy.
/// `completion` runs once on `transport`'s completion thread with the `Result` read from the
/// answer, or null (`currentFailure()` then says why). `repeat` says which failed tries the
/// queue may send again.
void postJson(CallQueue& queue, HttpRequest request, const std::string& authorization,
              CallContext context, std::string body, Repeat repeat,
              std::function<void(std::shared_ptr<Result>)> completion);

}  // namespace velmora::detail
