#include "velmora/result.hpp"

#include <algorithm>
#include <iterator>

namespace velmora {
namespace {

// Each enumeration's cases, once: the lookup by raw value and the name both read these rows,
// so a new case is one line here (and one in the header's enumeration).
template <class Code>
struct Row {
  Code code;
  const char* name;
};

constexpr Row<ResultCode> kResultCodes[] = {
    {ResultCode::Success, "Success"},
    {ResultCode::DocError, "DocError"},
    {ResultCode::NumberError, "NumberError"},
    {ResultCode::DateError, "DateError"},
    {ResultCode::ParamError, "ParamError"},
    {ResultCode::OwnNumberError, "OwnNumberError"},
    {ResultCode::UserError, "UserError"},
    {ResultCode::IPError, "IPError"},
    {ResultCode::DateRangeError, "DateRangeError"},
    {ResultCode::UserListError, "UserListError"},
    {ResultCode::MessageLengthError, "MessageLengthError"},
    {ResultCode::PortError, "PortError"},
    {ResultCode::PageError, "PageError"},
    {ResultCode::UserInfoError, "UserInfoError"},
    {ResultCode::RegisterInfoError, "RegisterInfoError"},
    {ResultCode::GroupError, "GroupError"},
    {ResultCode::CreditError, "CreditError"},
    {ResultCode::ServiceError, "ServiceError"},
    {ResultCode::ServerError, "ServerError"},
    {ResultCode::SendError, "SendError"},
    {ResultCode::ReceiveError, "ReceiveError"},
    {ResultCode::ParamSendError, "ParamSendError"},
};

constexpr Row<StatusCode> kStatusCodes[] = {
    {StatusCode::Unknown, "Unknown"},
    {StatusCode::Sended, "Sended"},
    {StatusCode::InQueue, "InQueue"},
    {StatusCode::Filtered, "Filtered"},
    {StatusCode::InTelecommunication, "InTelecommunication"},
    {StatusCode::NotInTelecommunication, "NotInTelecommunication"},
    {StatusCode::NumberError, "NumberError"},
    {StatusCode::ServerFull, "ServerFull"},
};

template <class Code, std::size_t N>
const Row<Code>* rowOf(const Row<Code> (&rows)[N], std::int64_t raw) noexcept {
  const auto* row = std::find_if(std::begin(rows), std::end(rows),
                                 [raw](const Row<Code>& r) { return rawValue(r.code) == raw; });
  return row == std::end(rows) ? nullptr : row;
}

}  // namespace

// A new record's payload is the empty string, not null: callers can tell "no Result member"
// from an explicit null.
Result::Result() : result(std::string()) {}

std::optional<ResultCode> resultCodeFromRaw(std::int64_t raw) noexcept {
  if (const auto* row = rowOf(kResultCodes, raw)) return row->code;
  return std::nullopt;
}

std::optional<StatusCode> statusCodeFromRaw(std::int64_t raw) noexcept {
  if (const auto* row = rowOf(kStatusCodes, raw)) return row->code;
  return std::nullopt;
}

const char* name(ResultCode code) noexcept {
  const auto* row = rowOf(kResultCodes, rawValue(code));
  return row != nullptr ? row->name : "Unknown";
}

const char* name(StatusCode code) noexcept {
  const auto* row = rowOf(kStatusCodes, rawValue(code));
  return row != nullptr ? row->name : "";
}

RefusalScope scopeOf(ResultCode code) noexcept {
  switch (code) {
    case ResultCode::Success:
      return RefusalScope::None;
    case ResultCode::OwnNumberError:
    case ResultCode::UserError:
    case ResultCode::IPError:
    case ResultCode::UserInfoError:
    case ResultCode::RegisterInfoError:
    case ResultCode::CreditError:
    case ResultCode::ServiceError:
      return RefusalScope::Account;
    case ResultCode::ServerError:
    case ResultCode::SendError:
    case ResultCode::ReceiveError:
    case ResultCode::ParamSendError:
      return RefusalScope::Service;
    default:
      return resultCodeFromRaw(rawValue(code)) ? RefusalScope::Request : RefusalScope::Unknown;
  }
}

}  // namespace velmora
