#pragma once

/// @file
/// `co_await` for C++20 callers: an operation as an awaitable that yields the same `Outcome` as
/// `toOutcomeFuture`. Header-only, no coroutine library needed; bring your own task type.
///
///     velmora::Outcome<std::shared_ptr<velmora::Result>> credit =
///         co_await velmora::async(client, &velmora::Velmora::GetCredit);
///     if (!credit.value && !credit.failure->requestMayHaveArrived) { /* safe to retry */ }
///
/// The operation starts when the coroutine awaits, not when `async` is called, and the coroutine
/// resumes where the client's completions run (the completion thread, or its executor): whatever
/// it does until its next `co_await` runs as a completion would, so it must not block there. The
/// arguments are copied into the awaitable; the client must outlive the `co_await`.

#if __cplusplus >= 202002L && defined(__cpp_impl_coroutine)

#include <coroutine>
#include <functional>
#include <tuple>
#include <utility>

#include "velmora/client.hpp"
#include "velmora/future.hpp"

namespace velmora {

/// The awaitable that `async` returns: starts one operation when awaited and yields its
/// `Outcome` (a typed operation's `Outcome<T>` as it is). Await it once.
template <class Value, class Operation, class... Args>
class OperationAwaitable {
 public:
  /// What awaiting yields.
  using Made = typename detail::OutcomeOf<Value>::type;

  /// Keeps the client, the operation and copies of its arguments until awaited.
  /// @param client the client to call
  /// @param operation the member to call
  /// @param args its arguments without the completion
  OperationAwaitable(Velmora& client, Operation operation, Args... args)
      : client_(&client), operation_(operation), args_(std::move(args)...) {}

  /// Always suspends: the outcome arrives on another thread.
  /// @return false
  bool await_ready() const noexcept { return false; }

  /// Starts the operation; its completion records the outcome and resumes `waiting`.
  /// @param waiting the coroutine to resume
  void await_suspend(std::coroutine_handle<> waiting) {
    // The completion may resume the coroutine, and so end this awaitable, before the operation
    // returns: what the call still reads lives on this frame, not in the awaitable.
    Velmora* client = client_;
    Operation operation = operation_;
    std::tuple<Args...> args = std::move(args_);
    Made* outcome = &outcome_;
    std::function<void(Value)> completion = [outcome, waiting](Value value) {
      *outcome = detail::toOutcome(std::move(value));
      waiting.resume();
    };
    std::apply([&](Args&... a) { (client->*operation)(a..., std::move(completion)); }, args);
  }

  /// The value and, when it is absent, why.
  /// @return the operation's outcome
  Made await_resume() { return std::move(outcome_); }

 private:
  Velmora* client_;
  Operation operation_;
  std::tuple<Args...> args_;
  Made outcome_;
};

/// `co_await async(client, &Velmora::SendMessage, from, text, mobiles, group, 0)`: the operation
/// with `args` (every argument but the completion), awaited. Any thread.
/// @param client the client to call; it must outlive the `co_await`
/// @param operation the member to call, e.g. `&Velmora::GetCredit`
/// @param args its arguments without the completion; copied
/// @return an awaitable yielding `Outcome<V>`, V being what the operation's completion receives
template <class... Params, class... Args>
auto async(Velmora& client, void (Velmora::*operation)(Params...), Args&&... args) {
  using Value = typename detail::CompletionValueOf<Params...>::type;
  return OperationAwaitable<Value, void (Velmora::*)(Params...), std::decay_t<Args>...>(
      client, operation, std::forward<Args>(args)...);
}

}  // namespace velmora

#endif
