// Typed readers of the payloads. Each walks the payload through `Field`, which knows where it is
// ("Result[2].Status"), so that a refused shape is named exactly; nothing is guessed.

#include "velmora/answers.hpp"

#include <exception>
#include <new>
#include <utility>

#include "call/failure_scope.hpp"
#include "records/whole_number.hpp"
#include "velmora/failure.hpp"

namespace velmora {
namespace {

using nlohmann::json;

// Why a payload could not be read; raised inside this file only, caught at each reader's edge.
struct Unreadable {
  Failure failure;
  std::string reason;  // Answer::error: the failure's message, or what a failed call was
};

// A payload of the wrong shape: `where` names the part, `what` says what is wrong with it.
Unreadable malformed(const std::string& where, const std::string& what) {
  Failure failure;
  failure.kind = FailureKind::MalformedAnswer;
  failure.member = where;
  failure.message = where + what;
  std::string reason = failure.message;
  return {std::move(failure), std::move(reason)};
}

// A JSON value and the path that leads to it.
class Field {
 public:
  Field(const json& value, std::string where) : value_(value), where_(std::move(where)) {}

  const json& value() const { return value_; }

  bool has(const char* name) const {
    const auto found = object().find(name);
    return found != value_.end() && !found->is_null();
  }
  Field member(const char* name) const {
    const auto found = object().find(name);
    if (found == value_.end()) fail(std::string(".") + name + " is missing");
    return {*found, where_ + "." + name};
  }
  std::size_t size() const { return array().size(); }
  Field at(std::size_t index) const {
    return {array()[index], where_ + "[" + std::to_string(index) + "]"};
  }

  std::int64_t whole() const {
    const detail::WholeNumber number = detail::readWholeNumber(value_);
    if (!number.value) fail(std::string(" ") + number.problem);
    return *number.value;
  }
  std::string text() const {
    if (!value_.is_string()) fail(" is not a string");
    return value_.get<std::string>();
  }
  // An id travels as a text or a whole number; either way it is handed on as its text. A number
  // that is not positive names no message: taken for an id, a lookup would count it as sent.
  std::string id() const {
    if (!value_.is_string()) {
      const std::int64_t number = whole();
      if (number <= 0) fail(" is not a positive number");
      return std::to_string(number);
    }
    std::string id = value_.get<std::string>();
    if (id.empty()) fail(" is empty");
    return id;
  }
  bool truth() const {
    if (!value_.is_boolean()) fail(" is neither true nor false");
    return value_.get<bool>();
  }

 private:
  const json& object() const {
    if (!value_.is_object()) fail(" is not an object");
    return value_;
  }
  const json& array() const {
    if (!value_.is_array()) fail(" is not an array");
    return value_;
  }
  [[noreturn]] void fail(const std::string& what) const { throw malformed(where_, what); }

  const json& value_;
  std::string where_;
};

// The refusal that a Result other than Success carries.
Failure refusalOf(const Result& result) {
  Failure failure;
  failure.kind = FailureKind::ServiceRefused;
  failure.code = result.Code();
  failure.rawCode = rawValue(result.Code());
  failure.serviceMessage = result.Message();
  failure.message = std::string("the service answered ") + name(result.Code()) + " (" +
                    std::to_string(*failure.rawCode) + ")";
  if (!result.Message().empty()) failure.message += ": " + result.Message();
  return failure;
}

// The payload of a successful answer; a failed call or a refusal ends the reading here.
Field payloadOf(const std::shared_ptr<Result>& result) {
  if (!result) {
    Failure failure = detail::failureOfCall();
    std::string reason =
        currentFailure() != nullptr ? "the call failed: " + failure.message : failure.message;
    throw Unreadable{std::move(failure), std::move(reason)};
  }
  if (result->Code() != ResultCode::Success) {
    Failure refusal = refusalOf(*result);
    std::string reason = refusal.message;
    throw Unreadable{std::move(refusal), std::move(reason)};
  }
  return {result->Payload(), "Result"};
}

// Runs `read` over the payload and hands back its value or the reason it failed.
template <class Read>
auto answer(const std::shared_ptr<Result>& result, Read read) noexcept
    -> Answer<decltype(read(std::declval<Field>()))> {
  try {
    return {read(payloadOf(result)), {}, {}};
  } catch (Unreadable& unreadable) {
    // Read inside a completion, the failure tells how often the call was tried.
    unreadable.failure.attempts = detail::currentAttempts();
    return {std::nullopt, std::move(unreadable.reason), std::move(unreadable.failure)};
  } catch (const std::exception&) {
    Failure failure;
    failure.kind = FailureKind::MalformedAnswer;
    failure.message = "not enough memory to read the answer";
    return {std::nullopt, failure.message, failure};
  }
}

// Reads every element of an array with `readOne`.
template <class ReadOne>
auto each(const Field& list, ReadOne readOne) {
  std::vector<decltype(readOne(list.at(0)))> values;
  values.reserve(list.size());
  for (std::size_t i = 0; i < list.size(); ++i) values.push_back(readOne(list.at(i)));
  return values;
}

std::optional<std::int64_t> optionalWhole(const Field& object, const char* name) {
  if (!object.has(name)) return std::nullopt;
  return object.member(name).whole();
}

DeliveryEntry deliveryEntry(const Field& entry) {
  DeliveryEntry read;
  read.messageId = entry.member("MessageId").id();
  read.mobile = entry.member("Mobile").text();
  read.rawStatus = entry.member("Status").whole();
  read.status = statusCodeFromRaw(read.rawStatus);
  return read;
}

std::shared_ptr<ReceivedMsgs> receivedMessage(const Field& entry) {
  auto message = std::make_shared<ReceivedMsgs>();
  message->setMsgBody(entry.member("MsgBody").text());
  message->setMobile(entry.member("Mobile").text());
  message->setDates(entry.member("Dates").whole());
  return message;
}

WhiteListEntry whiteListEntry(const Field& entry) {
  return {entry.member("Mobile").text(), entry.member("InWhiteList").truth()};
}

}  // namespace

Answer<SendReceipt> readSendReceipt(const std::shared_ptr<Result>& result) {
  return answer(result, [](const Field& payload) {
    SendReceipt receipt;
    receipt.groupMessageId = payload.member("GroupMessageId").id();
    receipt.messageIds =
        each(payload.member("MessageIds"), [](const Field& id) { return id.id(); });
    receipt.cost = optionalWhole(payload, "Cost");
    receipt.creditLeft = optionalWhole(payload, "Credit");
    return receipt;
  });
}

Answer<std::vector<DeliveryEntry>> readDeliveryStates(const std::shared_ptr<Result>& result) {
  return answer(result, [](const Field& payload) { return each(payload, deliveryEntry); });
}

Answer<std::string> readGroupMessageId(const std::shared_ptr<Result>& result) {
  return answer(result, [](const Field& payload) { return payload.id(); });
}

Answer<std::vector<std::shared_ptr<ReceivedMsgs>>> readInboxPage(
    const std::shared_ptr<Result>& result) {
  return answer(result, [](const Field& payload) { return each(payload, receivedMessage); });
}

Answer<std::int64_t> readCredit(const std::shared_ptr<Result>& result) {
  return answer(result, [](const Field& payload) { return payload.whole(); });
}

Answer<Prices> readPrices(const std::shared_ptr<Result>& result) {
  return answer(result, [](const Field& payload) {
    return Prices{payload.member("AsciiPartPrice").whole(),
                  payload.member("UnicodePartPrice").whole(),
                  payload.member("AsciiPartLength").whole(),
                  payload.member("UnicodePartLength").whole(), payload.member("MaxParts").whole()};
  });
}

Answer<std::vector<WhiteListEntry>> readWhiteList(const std::shared_ptr<Result>& result) {
  return answer(result, [](const Field& payload) { return each(payload, whiteListEntry); });
}

bool isFinal(StatusCode status) noexcept {
  switch (status) {
    case StatusCode::Sended:
    case StatusCode::Filtered:
    case StatusCode::NotInTelecommunication:
    case StatusCode::NumberError:
      return true;
    default:
      return false;
  }
}

bool isDelivered(StatusCode status) noexcept {
  return status == StatusCode::Sended;
}

}  // namespace velmora
