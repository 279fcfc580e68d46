#pragma once

#include <functional>
#include <string>

#include "call/call_context.hpp"
#include "call/call_queue.hpp"
#include "velmora/failure.hpp"
#include "velmora/transport.hpp"

namespace velmora::detail {

/// Why a call sends nothing, whatever the cause: an argument, an option, an endpoint, text that
/// UTF-8 or XML cannot carry. Every refusal is printed as "<operation>: <reason>; nothing was
/// sent" and ends its call with `FailureKind::RefusedInput`.
struct Refusal {
  std::string reason;  ///< e.g. "message is not valid UTF-8"; empty: nothing is refused
  explicit operator bool() const { return !reason.empty(); }
};

/// The line printed for `refusal` of `operation`.
std::string refusalLine(const char* operation, const Refusal& refusal);

/// Ends a call that sends nothing: as one of `queue`'s completions (never inside this call,
/// so that a caller holding its own lock cannot deadlock on its completion) prints the refusal
/// line and runs `fail` with the failure.
void refuse(CallQueue& queue, const CallContext& context, const Refusal& refusal,
            std::function<void(const Failure&)> fail);

}  // namespace velmora::detail
