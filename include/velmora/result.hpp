#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "velmora/export.h"

namespace velmora {

/// The service's result codes, sent in the "Code" member of every JSON answer.
enum class ResultCode : std::int64_t {
  Success = 0,
  DocError = 1001,
  NumberError = 1002,
  DateError = 1003,
  ParamError = 1004,
  OwnNumberError = 2001,
  UserError = 2002,
  IPError = 2003,
  DateRangeError = 2004,
  UserListError = 2005,
  MessageLengthError = 2006,
  PortError = 2007,
  PageError = 2008,
  UserInfoError = 2009,
  RegisterInfoError = 3001,
  GroupError = 3002,
  CreditError = 3003,
  ServiceError = 3004,
  ServerError = 5001,
  SendError = 5002,
  ReceiveError = 5003,
  ParamSendError = 5004,
};

/// Delivery states of a sent message, for callers reading the status operations' payloads.
enum class StatusCode : std::int64_t {
  Unknown = 0,
  Sended = 1,
  InQueue = 2,
  Filtered = 3,
  InTelecommunication = 8,
  NotInTelecommunication = 16,
  NumberError = 27,
  ServerFull = 23,
};

/// The case whose raw value is exactly `raw`, or nothing. Pure; any thread.
VELMORA_EXPORT std::optional<ResultCode> resultCodeFromRaw(std::int64_t raw) noexcept;
/// The case whose raw value is exactly `raw`, or nothing. Pure; any thread.
VELMORA_EXPORT std::optional<StatusCode> statusCodeFromRaw(std::int64_t raw) noexcept;

/// The raw value of a case. Pure; any thread.
constexpr std::int64_t rawValue(ResultCode code) noexcept {
  return static_cast<std::int64_t>(code);
}
/// The raw value of a case. Pure; any thread.
constexpr std::int64_t rawValue(StatusCode code) noexcept {
  return static_cast<std::int64_t>(code);
}

/// The case's name ("CreditError"); "Unknown" for a raw value that is no case (a code the
/// service sends that this version does not know). A static string, never null. Pure; any thread.
VELMORA_EXPORT const char* name(ResultCode code) noexcept;
/// The case's name ("Sended"); a static string, never null ("" for a value with no case, since
/// "Unknown" is a case of its own). Pure; any thread.
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
  /// Success when the answer had no "Code" or one that is not a whole number in 64 bits
  /// (a string of digits, 1.5, true).
  ResultCode Code() const noexcept { return code; }
  /// The answer's "Message" text; empty when the answer had no string there.
  const std::string& Message() const noexcept { return message; }
  /// The answer's "Result" member as parsed, of any JSON kind; the empty string when absent.
  const nlohmann::json& Payload() const noexcept { return result; }
  /// Mutable access to the payload; the caller owns the record.
  nlohmann::json& Payload() noexcept { return result; }

  /// Replaces the code; for applications that make records for their tests.
  void setCode(ResultCode value) noexcept { code = value; }
  /// Replaces the message text.
  void setMessage(std::string value) { message = std::move(value); }
  /// Replaces the payload.
  void setPayload(nlohmann::json value) { result = std::move(value); }

 private:
  ResultCode code = ResultCode::Success;
  std::string message;
  nlohmann::json result;
};

}  // namespace velmora
