#pragma once

/// @file
/// The service's numbers: the result code of every JSON answer and the delivery state of a sent
/// message, with what a caller should do about each (see @ref failures).

#include <cstdint>
#include <optional>

#include "velmora/export.h"

namespace velmora {

/// The service's result codes, sent in the "Code" member of every JSON answer. Each case says
/// what to do; `scopeOf` says it as a value; @ref failures has them in one table. A refusal is an
/// answer: the request arrived and was not carried out, so sending it again unchanged delivers
/// nothing twice, but gets the same answer until its cause is fixed.
enum class ResultCode : std::int64_t {
  Success = 0,                ///< the request was carried out
  DocError = 1001,            ///< the request body is not a valid document; permanent (report it)
  NumberError = 1002,         ///< a mobile number is not valid; fix the numbers
  DateError = 1003,           ///< a date is not valid; fix it
  ParamError = 1004,          ///< a parameter is missing or of the wrong kind; fix it
  OwnNumberError = 2001,      ///< the sender number is not one of the account's lines (account)
  UserError = 2002,           ///< the user name or the password is wrong (account): stop, fix
  IPError = 2003,             ///< requests from this address are not allowed (account)
  DateRangeError = 2004,      ///< the end of a date range lies before its start; fix it
  UserListError = 2005,       ///< the list of recipients is empty or too long; fix it
  MessageLengthError = 2006,  ///< the text is empty or too long; fix it
  PortError = 2007,           ///< a port number is not valid; fix it
  PageError = 2008,           ///< the page number is not valid; fix it
  UserInfoError = 2009,       ///< the account's details are not valid (account)
  RegisterInfoError = 3001,   ///< the account's registration is not complete (account)
  GroupError = 3002,          ///< no such group: no send carries that id (yet)
  CreditError = 3003,         ///< the credit does not cover the send (account): top up
  ServiceError = 3004,        ///< the service is not available to this account (account)
  ServerError = 5001,         ///< the service failed; a read may be tried later
  SendError = 5002,           ///< the service could not send; try later
  ReceiveError = 5003,        ///< the service could not read received messages; try later
  ParamSendError = 5004,      ///< the service could not pass the parameters on; try later
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

/// What a refusal is about, and so what a caller can do about it.
enum class RefusalScope {
  None,     ///< `Success`: nothing was refused
  Request,  ///< this request's own values (numbers, text, dates, page, ports, group id): fix
            ///< them; other requests of the account are not concerned
  Account,  ///< the account (credentials, address, sender line, registration, credit): every
            ///< request of the account will be refused the same way until it is fixed, so stop
  Service,  ///< the service failed (5001 to 5004): try again later
  Unknown,  ///< a code this version does not know: treat it as `Account` (stop and look)
};

/// What `code` is about: which values to fix or whether to stop. Pure; any thread.
/// @param code a result code, known or not
/// @return its scope
VELMORA_EXPORT RefusalScope scopeOf(ResultCode code) noexcept;

}  // namespace velmora
