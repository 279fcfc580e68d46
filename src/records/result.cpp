#include "velmora/result.hpp"

namespace velmora {

// A new record's payload is the empty string, not null: callers can tell "no Result member"
// from an explicit null.
Result::Result() : result(std::string()) {}

std::optional<ResultCode> resultCodeFromRaw(std::int64_t raw) noexcept {
  const bool known = raw == 0 || (raw >= 1001 && raw <= 1004) || (raw >= 2001 && raw <= 2009) ||
                     (raw >= 3001 && raw <= 3004) || (raw >= 5001 && raw <= 5004);
  if (!known) return std::nullopt;
  return static_cast<ResultCode>(raw);
}

std::optional<StatusCode> statusCodeFromRaw(std::int64_t raw) noexcept {
  switch (raw) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 8:
    case 16:
    case 23:
    case 27:
      return static_cast<StatusCode>(raw);
    default:
      return std::nullopt;
  }
}

const char* name(ResultCode code) noexcept {
  switch (code) {
    case ResultCode::Success:
      return "Success";
    case ResultCode::DocError:
      return "DocError";
    case ResultCode::NumberError:
      return "NumberError";
    case ResultCode::DateError:
      return "DateError";
    case ResultCode::ParamError:
      return "ParamError";
    case ResultCode::OwnNumberError:
      return "OwnNumberError";
    case ResultCode::UserError:
      return "UserError";
    case ResultCode::IPError:
      return "IPError";
    case ResultCode::DateRangeError:
      return "DateRangeError";
    case ResultCode::UserListError:
      return "UserListError";
    case ResultCode::MessageLengthError:
      return "MessageLengthError";
    case ResultCode::PortError:
      return "PortError";
    case ResultCode::PageError:
      return "PageError";
    case ResultCode::UserInfoError:
      return "UserInfoError";
    case ResultCode::RegisterInfoError:
      return "RegisterInfoError";
    case ResultCode::GroupError:
      return "GroupError";
    case ResultCode::CreditError:
      return "CreditError";
    case ResultCode::ServiceError:
      return "ServiceError";
    case ResultCode::ServerError:
      return "ServerError";
    case ResultCode::SendError:
      return "SendError";
    case ResultCode::ReceiveError:
      return "ReceiveError";
    case ResultCode::ParamSendError:
      return "ParamSendError";
  }
  return "";
}

const char* name(StatusCode code) noexcept {
  switch (code) {
    case StatusCode::Unknown:
      return "Unknown";
    case StatusCode::Sended:
      return "Sended";
    case StatusCode::InQueue:
      return "InQueue";
    case StatusCode::Filtered:
      return "Filtered";
    case StatusCode::InTelecommunication:
      return "InTelecommunication";
    case StatusCode::NotInTelecommunication:
      return "NotInTelecommunication";
    case StatusCode::NumberError:
      return "NumberError";
    case StatusCode::ServerFull:
      return "ServerFull";
  }
  return "";
}

}  // namespace velmora
