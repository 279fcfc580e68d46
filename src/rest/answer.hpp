#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "call/exchange.hpp"
#include "velmora/result.hpp"
#include "velmora/transport.hpp"

namespace velmora::detail {

/// Deepest nesting of arrays and objects accepted in an answer. Deeper documents would cost
/// stack in every recursive walk of the payload (the caller's included), so they are refused.
inline constexpr std::size_t kMaxJsonDepth = 512;

/// What a finished JSON exchange hands the completion: a new `Result` from a 2xx JSON-object
/// answer, or null and why.
struct JsonOutcome {
  std::shared_ptr<Result> result;
  std::optional<Failure> failure;  ///< set exactly when `result` is null
};

/// Turns a finished exchange into the completion's value, printing the failure lines.
JsonOutcome readJsonExchange(const HttpResponse& response, const CallContext& context);

}  // namespace velmora::detail
