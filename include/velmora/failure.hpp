#pragma once

#include <optional>
#include <string>

#include "velmora/export.h"

namespace velmora {

/// Why an operation completed with the absent value.
enum class FailureKind {
  RefusedInput,     ///< the library refused a value or a setting; nothing was sent
  Connect,          ///< DNS, a refused connection, a TLS handshake or verification failure
  Timeout,          ///< no progress for `Options::timeout` while the request was under way
  Deadline,         ///< `Options::deadline` passed before the exchange ended
  Transport,        ///< the connection was lost or the protocol broken mid-exchange
  HttpStatus,       ///< the service answered with a status outside 2xx
  MalformedAnswer,  ///< not JSON, not well-formed XML, or over a size limit
  Shutdown,         ///< the process was exiting
};

/// The kind's name, spelled as the enumerator ("HttpStatus"); a static string, never null
/// ("" for a value that is no enumerator). Pure; any thread.
/// @param kind a failure kind
/// @return its name
VELMORA_EXPORT const char* name(FailureKind kind) noexcept;

/// The reason of one failed call.
struct Failure {
  FailureKind kind = FailureKind::Transport;  ///< what went wrong
  std::optional<long> httpStatus;             ///< the status, when a response arrived
  std::string message;                        ///< the printed reason
  /// False only when the library knows that no byte of the request left the process (input
  /// refused, URL refused, DNS failure, connection refused, TLS failure before the request was
  /// written): then a retry cannot send anything twice. True otherwise, time-outs included.
  bool requestMayHaveArrived = true;
  /// How many times the request was tried: above 1 only with `Options::retry`; 0 when nothing
  /// was sent at all (input refused, or the deadline passed while the call waited).
  int attempts = 1;
};

/// Inside a completion that received the absent value: the reason of that call. Null inside a
/// completion that received a value, and outside completions. The pointer is valid until the
/// completion returns. Any thread; reads the calling thread's state only.
/// @return the failure of the call whose completion is running, or null
VELMORA_EXPORT const Failure* currentFailure() noexcept;

}  // namespace velmora
