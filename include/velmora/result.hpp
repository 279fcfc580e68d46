#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "velmora/codes.hpp"
#include "velmora/export.h"

namespace velmora {

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
  /// The readers of velmora/answers.hpp turn it into typed values (see @ref payloads).
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
