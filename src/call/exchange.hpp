#pragma once

#include <exception>
#include <functional>
#include <optional>

#include "call/call_context.hpp"
#include "call/failure_scope.hpp"
#include "velmora/failure.hpp"
#include "velmora/transport.hpp"

// What a call makes of its finished exchange, and the hand-over to its completion.
namespace velmora::detail {

/// The printed form of a response outside 2xx from `url`: status, status line and headers.
std::string describeResponse(const HttpResponse& response, const std::string& url);

/// The failure of a finished exchange, after printing its lines ("error ...", or the two status
/// lines); nothing, and nothing printed, for a 2xx answer.
std::optional<Failure> exchangeFailure(const HttpResponse& response, const CallContext& context);

/// Reports an exception that escaped a completion, as one line.
void reportThrown(const CallContext& context, std::exception_ptr thrown);

/// Hands `value` to `completion` (skipped when empty) with `failure` as what currentFailure()
/// returns meanwhile, and `attempts` (the tries that led to a value; a failure knows its own)
/// as what currentAttempts() returns. An exception it throws is reported and goes no further.
template <class Value>
void deliver(const CallContext& context, const std::function<void(Value)>& completion, Value value,
             const std::optional<Failure>& failure, int attempts) {
  if (!completion) return;
  FailureScope scope(failure ? &*failure : nullptr, failure ? failure->attempts : attempts);
  try {
    completion(std::move(value));
  } catch (...) {
    reportThrown(context, std::current_exception());
  }
}

}  // namespace velmora::detail
