#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "velmora/export.h"

namespace velmora {

/// One addressed message: a text for one mobile number, with an id the caller chooses.
/// A plain value type: copies are independent. Travels as {"id":…,"message":…,"mobile":…}.
class VELMORA_EXPORT RecipientsMessage {
 public:
  /// A record whose three texts are empty.
  RecipientsMessage() = default;

  /// The caller's id of this message ("id").
  /// @return the id
  const std::string& Id() const noexcept { return id; }
  /// The text to send ("message").
  /// @return the text
  const std::string& Message() const noexcept { return message; }
  /// The mobile number to send it to ("mobile").
  /// @return the number
  const std::string& Mobile() const noexcept { return mobile; }
  /// Replaces the id; stored unchanged.
  /// @param value the new id
  void setId(std::string value) { id = std::move(value); }
  /// Replaces the text; stored unchanged.
  /// @param value the new text
  void setMessage(std::string value) { message = std::move(value); }
  /// Replaces the mobile number; stored unchanged.
  /// @param value the new number
  void setMobile(std::string value) { mobile = std::move(value); }

  /// True when the three texts are equal.
  friend bool operator==(const RecipientsMessage& a, const RecipientsMessage& b) {
    return a.id == b.id && a.message == b.message && a.mobile == b.mobile;
  }
  /// True when any of the three texts differs.
  friend bool operator!=(const RecipientsMessage& a, const RecipientsMessage& b) {
    return !(a == b);
  }

 private:
  std::string id;
  std::string message;
  std::string mobile;
};

/// Writes the record as an object with "id", "message" and "mobile", in that order.
/// @param j receives the object
/// @param m the record
VELMORA_EXPORT void to_json(nlohmann::json& j, const RecipientsMessage& m);

/// Reads "id", "message" and "mobile" (exact, case-sensitive names), each a required string;
/// other members are ignored. Throws `nlohmann::json::exception` at the first bad member:
/// out_of_range 403 when it is missing, type_error 302 with "value not found" when it is null,
/// type_error 302 when it is not a string, or type_error 302 when `j` is not an object.
/// @param j the object to read
/// @param m receives the record; unchanged when reading fails
VELMORA_EXPORT void from_json(const nlohmann::json& j, RecipientsMessage& m);

/// A received message: its text, the mobile number and a date the library gives no unit.
/// Shared, reference-counted record (hold it in a `std::shared_ptr`); not synchronised.
class VELMORA_EXPORT ReceivedMsgs {
 public:
  /// A record with empty texts and the date 0.
  ReceivedMsgs() = default;

  /// The text of the message.
  /// @return the text
  const std::string& MsgBody() const noexcept { return msgBody; }
  /// The number it came from.
  /// @return the number
  const std::string& Mobile() const noexcept { return mobile; }
  /// When it arrived, as the service gave it.
  /// @return the date
  std::int64_t Dates() const noexcept { return date; }
  /// Replaces the text.
  /// @param value the new text
  void setMsgBody(std::string value) { msgBody = std::move(value); }
  /// Replaces the number.
  /// @param value the new number
  void setMobile(std::string value) { mobile = std::move(value); }
  /// Replaces the date.
  /// @param value the new date
  void setDates(std::int64_t value) noexcept { date = value; }

  /// A readable one-line form, for debugging.
  /// @return the line
  std::string toString() const;

 private:
  std::string msgBody;
  std::string mobile;
  std::int64_t date = 0;
};

}  // namespace velmora
