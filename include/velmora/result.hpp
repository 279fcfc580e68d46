#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "velmora/export.h"

namespace velmora {

/// The service's result codes, sent in the "Code" member of every JSON answer.
enum class ResultCode : std::int64_t {
  Success = 0,                ///< the request was carried out
  DocError = 1001,            ///< the request body is not a valid document
  NumberError = 1002,         ///< a mobile number is not valid
  DateError = 1003,           ///< a date is not valid
  ParamError = 1004,          ///< a parameter is missing or of the wrong kind
  OwnNumberError = 2001,      ///< the sender number is not one of the account's lines
  UserError = 2002,           ///< the user name or the password is wrong
  IPError = 2003,             ///< requests from this address are not allowed
  DateRangeError = 2004,      ///< the end of a date range lies before its start
  UserListError = 2005,       ///< the list of recipients is empty or too long
  MessageLengthError = 2006,  ///< the text is empty or too long
  PortError = 2007,           ///< a port number is not valid
  PageError = 2008,           ///< the page number is not valid
  UserInfoError = 2009,       ///< the account's details are not valid
  RegisterInfoError = 3001,   ///< the account's registration is not complete
  GroupError = 3002,          ///< no such group
  CreditError = 3003,         ///< the credit does not cover the send
  ServiceError = 3004,        ///< the service is not available to this account
  ServerError = 5001,         ///< the service failed
  SendError = 5002,           ///< the service could not send
  ReceiveError = 5003,        ///< the service could not read received messages
  ParamSendError = 5004,      ///< the service could not pass the parameters on
};

/// Delivery states of a sent message, for callers reading the status operations' payloads.
enum class StatusCode : std::int64_t {
  Unknown = 0,                  ///< no such message, or not this account's
  Sended = 1,                   ///< delivered to the phone
  InQueue = 2,                  ///< waiting at the service
  Filtered = 3,                 ///< stopped by the operator's filter
  InTelecommunication = 8,      ///< handed to the operator, on its way
  NotInTelecommunication = 16,  ///< the operator did not deliver it
  NumberError = 27,             ///< the number cannot receive messages
  ServerFull = 23,              ///< the service's queue is full
};

/// The case whose raw value is exactly `raw`, or nothing. Pure; any thread.
/// @param raw a number as the service sends it in "Code"
/// @return its case, or nothing when no case has that value
VELMORA_EXPORT std::optional<ResultCode> resultCodeFromRaw(std::int64_t raw) noexcept;
/// The case whose raw value is exactly `raw`, or nothing. Pure; any thread.
/// @param raw a number as the service sends it in "Status"
/// @return its case, or nothing when no case has that value
VELMORA_EXPORT std::optional<StatusCode> statusCodeFromRaw(std::int64_t raw) noexcept;

/// The raw value of a case. Pure; any thread.
/// @param code a result code, known or not
/// @return the number the service sends for it
constexpr std::int64_t rawValue(ResultCode code) noexcept {
  return static_cast<std::int64_t>(code);
}
/// The raw value of a case. Pure; any thread.
/// @param code a delivery state
/// @return the number the service sends for it
constexpr std::int64_t rawValue(StatusCode code) noexcept {
  return static_cast<std::int64_t>(code);
}

/// The case's name ("CreditError"); "Unknown" for a raw value that is no case (a code the
/// service sends that this version does not know). A static string, never null. Pure; any thread.
/// @param code a result code
/// @return its name
VELMORA_EXPORT const char* name(ResultCode code) noexcept;
/// The case's name ("Sended"); a static string, never null ("" for a value with no case, since
/// "Unknown" is a case of its own). Pure; any thread.
/// @param code a delivery state
/// @return its name
VELMORA_EXPORT const char* name(StatusCode code) noexcept;

/// The outcome of a JSON operation: the answer's "Code", "Message" and "Result" members.
/// Handed out as `std::shared_ptr<Result>` (null is the absent value); the library keeps no
/// reference once it has handed one over, so the receiver owns it alone. Not synchronised.
class VELMORA_EXPORT Result {
 public:
  /// A record with `Code` Success, an empty `Message` and the empty string as payload.
  /// Public so that applications can feed a substituted client's completions in their tests.
  Result();

  /// The service's result code. A whole number that is no case of `ResultCode` is kept as it
  /// came: `rawValue(Code())` gives it back, it compares unequal to every case, and `name()`
  /// calls it "Unknown"; so `Code() == ResultCode::Success` holds only for a real success.
  /// The library makes a Result only from an answer whose "Code" is a whole number in signed
  /// 64 bits, written as a JSON number or as a string of decimal digits ("3003"); an answer
  /// without one (missing, null, 2002.5, 1e300, true) completes with the absent value as
  /// `FailureKind::MalformedAnswer`, so a missing verdict never reads as Success.
  /// @return the code
  ResultCode Code() const noexcept { return code; }
  /// The answer's "Message" text; empty when the answer had no string there.
  /// @return the text
  const std::string& Message() const noexcept { return message; }
  /// The answer's "Result" member as parsed, of any JSON kind; the empty string when absent.
  /// The readers of velmora/answers.hpp turn it into typed values (see the page "Payloads").
  /// @return the payload
  const nlohmann::json& Payload() const noexcept { return result; }
  /// Mutable access to the payload; the caller owns the record.
  /// @return the payload
  nlohmann::json& Payload() noexcept { return result; }

  /// Replaces the code; for applications that make records for their tests.
  /// @param value the new code
  void setCode(ResultCode value) noexcept { code = value; }
  /// Replaces the message text.
  /// @param value the new text
  void setMessage(std::string value) { message = std::move(value); }
  /// Replaces the payload.
  /// @param value the new payload
  void setPayload(nlohmann::json value) { result = std::move(value); }

 private:
  ResultCode code = ResultCode::Success;
  std::string message;
  nlohmann::json result;
};

}  // namespace velmora
