#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "velmora/codes.hpp"
#include "velmora/export.h"

namespace velmora {

/// Why an operation completed without its value, and what to do about it. "Safe to retry"
/// means that sending the same request again cannot deliver anything twice. @ref failures
/// has every kind in one table.
enum class FailureKind {
  /// The library refused a value or a setting; nothing was sent. Permanent: fix the value.
  RefusedInput,
  /// DNS, a refused connection, a TLS handshake or verification failure. Safe to retry when
  /// `Failure::requestMayHaveArrived` is false (the library then retries itself with
  /// `Options::retry`); otherwise a send may have gone out.
  Connect,
  /// No progress for `Options::timeout` while the request was under way. The request may have
  /// arrived: do not resend a send blindly; a read may be tried again (`RetryPolicy::reads`).
  Timeout,
  /// `Options::deadline` passed before the exchange ended. As `Timeout`.
  Deadline,
  /// The connection was lost or the protocol broken mid-exchange. As `Timeout`.
  Transport,
  /// The service answered with a status outside 2xx (`Failure::httpStatus`). A 5xx, 408 or 429
  /// may pass; the request arrived, so a send may have been carried out all the same.
  HttpStatus,
  /// The answer was not JSON, not well-formed XML, over a size limit, or a payload of the wrong
  /// shape (`Failure::member` names the part). The request arrived; what it did is unknown.
  MalformedAnswer,
  /// The process was exiting, or the client of a `Velmora::wholeInbox` was destroyed before
  /// its next page. Nothing more can be done in this process.
  Shutdown,
  /// The service answered and refused: `Failure::code` (JSON operations) or
  /// `Failure::rawCode` (a verification-code number that is no message id) says with what.
  /// Nothing was carried out; see `scopeOf` for whether to fix the request or the account,
  /// and @ref verification_codes for what a code operation's number means.
  ServiceRefused,
};

/// The kind's name, spelled as the enumerator ("HttpStatus"); a static string, never null
/// ("" for a value that is no enumerator). Pure; any thread.
/// @param kind a failure kind
/// @return its name
VELMORA_EXPORT const char* name(FailureKind kind) noexcept;

/// The reason of one failed call: everything the library knows about what happened on the wire.
/// A plain value; any thread.
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
  /// `ServiceRefused` by a JSON operation: the answer's "Code". A number this version does not
  /// know is kept as it came (`rawValue(*code)` gives it back, `name(*code)` says "Unknown").
  std::optional<ResultCode> code{};
  /// `ServiceRefused`: the number the service refused with, as it sent it: the "Code" of a JSON
  /// answer, or the number a verification-code operation gave where a message id belongs.
  /// What such a number means is the service's to say; the library gives it no name.
  std::optional<std::int64_t> rawCode{};
  /// `ServiceRefused` by a JSON operation: the answer's "Message", possibly empty.
  std::string serviceMessage{};
  /// `MalformedAnswer` of a payload read by the typed operations: the part that was wrong, as
  /// "Result[2].Status"; empty otherwise.
  std::string member{};
};

/// Inside a completion that received the absent value: the reason of that call. Null inside a
/// completion that received a value, and outside completions. The pointer is valid until the
/// completion returns. Any thread; reads the calling thread's state only.
/// @return the failure of the call whose completion is running, or null
VELMORA_EXPORT const Failure* currentFailure() noexcept;

}  // namespace velmora
