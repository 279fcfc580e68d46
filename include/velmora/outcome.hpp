#pragma once

/// @file
/// `Outcome<T>`: what one operation ended with, its value or the reason it has none, in one
/// value that can be kept, moved and read on any thread.

#include <functional>
#include <optional>

#include "velmora/failure.hpp"

namespace velmora {

/// What one operation ended with: `value`, or, when `failure` is set, why there is none. A plain
/// value; any thread.
///
/// For the typed operations (`Velmora::send`, `Velmora::credit`, ...) exactly one of the two
/// holds: `failure` is set or `value` is the operation's value. For the futures of the thirteen
/// service members (`toOutcomeFuture`), `value` is what the completion received (null or empty
/// when the call failed) and `failure` is set whenever it is absent.
template <class Value>
struct Outcome {
  Value value{};                   ///< the value; meaningless while `failure` is set
  std::optional<Failure> failure;  ///< why there is no value; unset when there is one

  /// True when the operation gave its value.
  explicit operator bool() const noexcept { return !failure; }
};

/// Receives one typed operation's `Outcome`, once, where the client's completions run (the
/// completion thread, or `Options::executor`).
template <class Value>
using OutcomeCompletion = std::function<void(Outcome<Value>)>;

}  // namespace velmora
