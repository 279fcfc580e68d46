#include "rest/request_bodies.hpp"

#include <charconv>
#include <string_view>

namespace velmora::detail {
namespace {

// Room for the fixed pieces of the largest body and its numbers, on top of the values' bytes.
constexpr std::size_t kFrameBytes = 256;

// Joins the fixed pieces of a body with its values into one string reserved up front, so that a
// body with thousands of numbers is written without reallocating as it grows.
class BodyWriter {
 public:
  BodyWriter(const JsonEncoder& encoder, std::size_t valueBytes) : encoder_(encoder) {
    out_.reserve(kFrameBytes + valueBytes);
  }

  BodyWriter& piece(std::string_view fixed) {
    out_.append(fixed);
    return *this;
  }
  BodyWriter& text(std::string_view value) {
    encoder_.appendEscaped(out_, value);
    return *this;
  }
  BodyWriter& number(std::int64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out_.append(digits, end);
    return *this;
  }
  template <typename List>
  BodyWriter& list(const List& values) {
    encoder_.append(out_, values);
    return *this;
  }

  std::string take() { return std::move(out_); }

 private:
  const JsonEncoder& encoder_;
  std::string out_;
};

// `{"Name": "value"}`: the one-line bodies of a single text member.
std::string textMemberBody(const JsonEncoder& encoder, std::string_view opening,
                           const std::string& value) {
  return BodyWriter(encoder, value.size()).piece(opening).text(value).piece("\"}").take();
}

// `{"Name": [...]}`: the one-line bodies of a single list member.
std::string listMemberBody(const JsonEncoder& encoder, std::string_view opening,
                           const std::vector<std::string>& values) {
  return BodyWriter(encoder, JsonEncoder::plainSize(values))
      .piece(opening)
      .list(values)
      .piece("}")
      .take();
}

}  // namespace

std::string sendMessageBody(const JsonEncoder& encoder, const std::string& phoneNumber,
                            const std::string& message, const std::vector<std::string>& mobiles,
                            const std::string& userGroupID, std::int64_t sendDateInTimeStamp) {
  return BodyWriter(encoder, phoneNumber.size() + message.size() + userGroupID.size() +
                                 JsonEncoder::plainSize(mobiles))
      .piece("{\n    \"PhoneNumber\": \"")
      .text(phoneNumber)
      .piece("\",\r\n    \"Message\": \"")
      .text(message)
      .piece("\",\r\n    \"Mobiles\": ")
      .list(mobiles)
      .piece(",\r\n    \"UserGroupID\": \"")
      .text(userGroupID)
      .piece("\",\r\n    \"SendDateInTimeStamp\":")
      .number(sendDateInTimeStamp)
      .piece("\n}")
      .take();
}

std::string sendCorrespondingMessageBody(const JsonEncoder& encoder, const std::string& phoneNumber,
                                         const std::vector<RecipientsMessage>& recipientsMessage,
                                         const std::string& userGroupID) {
  return BodyWriter(encoder, phoneNumber.size() + userGroupID.size() +
                                 JsonEncoder::plainSize(recipientsMessage))
      .piece("{\n    \"PhoneNumber\": \"")
      .text(phoneNumber)
      .piece("\",\r\n    \"RecipientsMessage\": ")
      .list(recipientsMessage)
      .piece(",\r\n    \"UserGroupID\": \"")
      .text(userGroupID)
      .piece("\"\r\n\n}")
      .take();
}

std::string sendMessageToPortBody(const JsonEncoder& encoder, const std::string& phoneNumber,
                                  std::int64_t recievePortNumber, std::int64_t sendPortNumber,
                                  const std::string& userGroupID,
                                  const std::vector<RecipientsMessage>& recipientsMessage) {
  return BodyWriter(encoder, phoneNumber.size() + userGroupID.size() +
                                 JsonEncoder::plainSize(recipientsMessage))
      .piece("{\n    \"PhoneNumber\": \"")
      .text(phoneNumber)
      .piece("\",\r\n    \"recievePortNumber\": ")
      .number(recievePortNumber)
      .piece(",\r\n    \"sendPortNumber\": ")
      .number(sendPortNumber)
      .piece(",\r\n    \"RecipientsMessage\": ")
      .list(recipientsMessage)
      .piece(",\r\n    \"UserGroupID\": \"")
      .text(userGroupID)
      .piece("\"\r\n}")
      .take();
}

std::string groupMessageStatusBody(const JsonEncoder& encoder, const std::string& groupMessageId) {
  return textMemberBody(encoder, "{\"GroupMessageId\": \"", groupMessageId);
}

std::string correspondingMessageStatusBody(const JsonEncoder& encoder,
                                           const std::vector<std::string>& messageId) {
  return listMemberBody(encoder, "{\"messageId\": ", messageId);
}

std::string getGroupMessageIdBody(const JsonEncoder& encoder, const std::string& groupId) {
  return textMemberBody(encoder, "{\"groupId\": \"", groupId);
}

std::string receiveMessagesBody(const JsonEncoder& encoder, const std::string& phoneNumber,
                                std::int64_t startDate, std::int64_t endDate, std::int64_t page) {
  return BodyWriter(encoder, phoneNumber.size())
      .piece("{\n    \"PhoneNumber\": \"")
      .text(phoneNumber)
      .piece("\",\r\n    \"StartDate\": ")
      .number(startDate)
      .piece(",\r\n    \"EndDate\": ")
      .number(endDate)
      .piece(",\r\n    \"Page\": ")
      .number(page)
      .piece("\n}")
      .take();
}

std::string showWhiteListBody(const JsonEncoder& encoder, const std::vector<std::string>& mobiles) {
  return listMemberBody(encoder, "{\"MobilesList\": ", mobiles);
}

}  // namespace velmora::detail
