#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "call/call_context.hpp"
#include "call/call_queue.hpp"
#include "velmora/result.hpp"
#include "velmora/transport.hpp"

namespace velmora::detail {

/// The address of the JSON operation `operation` under the REST origin and prefix `base`.
std::string jsonUrl(const std::string& base, const char* operation);

/// Posts `body` (none when empty) with the header lines `headers` (the client's content type and
/// credentials), `request` carrying the operation's address (see jsonUrl()), the client's trust,
/// time-outs and proxy.
/// `completion` runs once on `transport`'s completion thread with the `Result` read from the
/// answer, or null (`currentFailure()` then says why). `repeat` says which failed tries the
/// queue may send again.
void postJson(CallQueue& queue, HttpRequest request, const std::vector<std::string>& headers,
              CallContext context, std::string body, Repeat repeat,
              std::function<void(std::shared_ptr<Result>)> completion);

}  // namespace velmora::detail
