#pragma once

// Waiting for an operation instead of being called back: a completion that fulfils a
// std::future. Header-only; needs nothing from the library beyond the operations themselves.
//
//   auto credit = velmora::toFuture(client, &velmora::Velmora::GetCredit);
//   std::shared_ptr<velmora::Result> result = credit.get();   // blocks until the answer
//
//   auto sent = velmora::toOutcomeFuture(client, &velmora::Velmora::SendMessage, "3000", "hi",
//                                        mobiles, "", 0);
//   velmora::Outcome<std::shared_ptr<velmora::Result>> outcome = sent.get();
//   if (!outcome.value && !outcome.failure->requestMayHaveArrived) { /* safe to retry */ }
//
// Never wait inside a completion: completions run one after another on the library's session
// thread, so a completion that waits for another operation waits for ever.

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "velmora/client.hpp"
#include "velmora/failure.hpp"
#include "velmora/outcome.hpp"
#include "velmora/result.hpp"

namespace velmora {

namespace detail {

// The Outcome that a completion's value makes: a typed operation's Outcome as it is.
template <class Value>
struct OutcomeOf {
  using type = Outcome<Value>;
};
template <class Value>
struct OutcomeOf<Outcome<Value>> {
  using type = Outcome<Value>;
};

// Makes the Outcome of a completion's value on the thread that runs the completion, where
// currentFailure() says why an absent value is absent.
template <class Value>
typename OutcomeOf<Value>::type toOutcome(Value value) {
  if constexpr (std::is_same_v<Value, typename OutcomeOf<Value>::type>) {
    return value;
  } else {
    Outcome<Value> outcome;
    if (!value) {
      // Outside the library's completions (a substituted client) the reason is not known.
      const Failure* failure = currentFailure();
      outcome.failure = failure ? *failure : Failure{};
      if (!failure) outcome.failure->message = "the call failed";
    }
    outcome.value = std::move(value);
    return outcome;
  }
}

}  // namespace detail

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
/// @return the completion and its future
template <class Value>
CompletionFuture<Value> makeCompletionFuture() {
  auto promise = std::make_shared<std::promise<Value>>();
  std::future<Value> future = promise->get_future();
  return {[promise](Value value) { promise->set_value(std::move(value)); }, std::move(future)};
}

/// As `makeCompletionFuture`, for a future of the `Outcome`: the completion copies the
/// failure (`currentFailure()`) of an absent value, on the thread that runs it. A typed
/// operation's completion already receives an `Outcome`: its future is of that `Outcome`.
/// @return the completion and the future of its `Outcome`
template <class Value>
std::pair<std::function<void(Value)>, std::future<typename detail::OutcomeOf<Value>::type>>
makeOutcomeFuture() {
  using Made = typename detail::OutcomeOf<Value>::type;
  auto promise = std::make_shared<std::promise<Made>>();
  std::future<Made> future = promise->get_future();
  auto completion = [promise](Value value) {
    promise->set_value(detail::toOutcome(std::move(value)));
  };
  return {std::move(completion), std::move(future)};
}

/// Calls `start` with a fresh completion and returns the future of its value. `start` is
/// expected to hand the completion to one operation, e.g. `[&](velmora::ResultCompletion done) {
/// client.GetCredit(done); }`. An exception thrown by `start` propagates and no future is
/// returned.
/// @param start called once, at once, with the completion
/// @return the future of the completion's value
template <class Value, class Start>
std::future<Value> toFuture(Start&& start) {
  CompletionFuture<Value> pair = makeCompletionFuture<Value>();
  std::forward<Start>(start)(std::move(pair.completion));
  return std::move(pair.future);
}

/// As the form above, for a future of the `Outcome`.
/// @param start called once, at once, with the completion
/// @return the future of the value and, when it is absent, why
template <class Value, class Start>
std::future<typename detail::OutcomeOf<Value>::type> toOutcomeFuture(Start&& start) {
  auto pair = makeOutcomeFuture<Value>();
  std::forward<Start>(start)(std::move(pair.first));
  return std::move(pair.second);
}

namespace detail {

// The value that the last parameter of an operation, its completion, receives.
template <class... Params>
struct CompletionValueOf {
  template <class C>
  struct Argument;
  template <class V>
  struct Argument<std::function<void(V)>> {
    using type = V;
  };
  using type = typename Argument<
      std::decay_t<std::tuple_element_t<sizeof...(Params) - 1, std::tuple<Params...>>>>::type;
};

// The value of the completion that a start callable with one declared parameter takes.
template <class CallOperator>
struct StartValueOf;
template <class Class, class Completion>
struct StartValueOf<void (Class::*)(Completion) const> : CompletionValueOf<Completion> {};
template <class Class, class Completion>
struct StartValueOf<void (Class::*)(Completion)> : CompletionValueOf<Completion> {};

}  // namespace detail

/// As `toFuture<Value>(start)`, with the value type read from the completion type that `start`
/// declares: `toFuture([&](velmora::TruthCompletion done) { client.CheckSendCode(n, c, done); })`
/// gives a `std::future<std::optional<bool>>`. (A start taking `auto` declares no type.)
/// (Its parameter is described with the form above, which the reference shows as the same.)
template <class Start, class Value = typename detail::StartValueOf<
                           decltype(&std::decay_t<Start>::operator())>::type>
std::future<Value> toFuture(Start&& start) {
  return toFuture<Value>(std::forward<Start>(start));
}

/// As the form above, for a future of the `Outcome`.
/// @param start called once, at once, with the completion
/// @return the future of the value and, when it is absent, why
template <class Start, class Value = typename detail::StartValueOf<
                           decltype(&std::decay_t<Start>::operator())>::type>
std::future<typename detail::OutcomeOf<Value>::type> toOutcomeFuture(Start&& start) {
  return toOutcomeFuture<Value>(std::forward<Start>(start));
}

/// Starts `operation` on `client` with `args` (every argument but the completion) and returns
/// the future of its value; the value type follows from the operation. E.g.
/// `toFuture(client, &Velmora::CheckSendCode, number, code)` gives a
/// `std::future<std::optional<bool>>`. The client is used during the call only.
/// @param client the client to call
/// @param operation the member to call, e.g. `&Velmora::GetCredit`
/// @param args its arguments without the completion
/// @return the future of the completion's value
template <class... Params, class... Args>
auto toFuture(Velmora& client, void (Velmora::*operation)(Params...), Args&&... args) {
  using Value = typename detail::CompletionValueOf<Params...>::type;
  return toFuture<Value>([&](std::function<void(Value)> done) {
    (client.*operation)(std::forward<Args>(args)..., std::move(done));
  });
}

/// As the form above, for a future of the `Outcome`: the value and, when absent, why.
/// @param client the client to call
/// @param operation the member to call, e.g. `&Velmora::GetCredit`
/// @param args its arguments without the completion
/// @return the future of the value and, when it is absent, why
template <class... Params, class... Args>
auto toOutcomeFuture(Velmora& client, void (Velmora::*operation)(Params...), Args&&... args) {
  using Value = typename detail::CompletionValueOf<Params...>::type;
  return toOutcomeFuture<Value>([&](std::function<void(Value)> done) {
    (client.*operation)(std::forward<Args>(args)..., std::move(done));
  });
}

/// The future of a JSON operation: null when the exchange failed.
using ResultFuture = std::future<std::shared_ptr<Result>>;
/// The future of `AutoSendCode` and `SendMessageWithCode`: nothing when the exchange failed.
using NumberFuture = std::future<std::optional<std::int64_t>>;
/// The future of `CheckSendCode`: nothing when the exchange failed.
using TruthFuture = std::future<std::optional<bool>>;

}  // namespace velmora
