#pragma once

// Waiting for an operation instead of being called back: a completion that fulfils a
// std::future. Header-only; needs nothing from the library beyond the operations themselves.
//
//   auto credit = velmora::toFuture<std::shared_ptr<velmora::Result>>(
//       [&](auto done) { client.GetCredit(done); });
//   std::shared_ptr<velmora::Result> result = credit.get();   // blocks until the answer
//
// Never wait inside a completion: completions run one after another on the library's session
// thread, so a completion that waits for another operation waits for ever.

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <utility>

#include "velmora/client.hpp"
#include "velmora/result.hpp"

namespace velmora {

/// A completion and the future it fulfils. Pass `completion` to one operation, exactly once,
/// and wait on `future`.
template <class Value>
struct CompletionFuture {
  std::function<void(Value)> completion;  ///< hand this to one operation, once
  std::future<Value> future;              ///< ready once the completion has run
};

/// Makes a completion whose one call sets the value of the returned future. Copies of the
/// completion share one promise. When every copy is destroyed without having been called, the
/// future reports std::future_errc::broken_promise instead of blocking for ever; a second call
/// throws std::future_error from inside the completion.
template <class Value>
CompletionFuture<Value> makeCompletionFuture() {
  auto promise = std::make_shared<std::promise<Value>>();
  std::future<Value> future = promise->get_future();
  return {[promise](Value value) { promise->set_value(std::move(value)); }, std::move(future)};
}

/// Calls `start` with a fresh completion and returns the future of its value. `start` is
/// expected to hand the completion to one operation, e.g. `[&](auto done) { client.GetCredit(done);
/// }`. An exception thrown by `start` propagates and no future is returned.
template <class Value, class Start>
std::future<Value> toFuture(Start&& start) {
  CompletionFuture<Value> pair = makeCompletionFuture<Value>();
  std::forward<Start>(start)(std::move(pair.completion));
  return std::move(pair.future);
}

/// The future of a JSON operation: null when the exchange failed.
using ResultFuture = std::future<std::shared_ptr<Result>>;
/// The future of `AutoSendCode` and `SendMessageWithCode`: nothing when the exchange failed.
using NumberFuture = std::future<std::optional<std::int64_t>>;
/// The future of `CheckSendCode`: nothing when the exchange failed.
using TruthFuture = std::future<std::optional<bool>>;

}  // namespace velmora
