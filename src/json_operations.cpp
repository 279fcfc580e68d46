// The operations that speak JSON to the service: sending, status and inbox, account.

#include <initializer_list>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "client_settings.hpp"
#include "json_encoder.hpp"
#include "request_bodies.hpp"
#include "transport/json_call.hpp"
#include "utf8.hpp"
#include "velmora/client.hpp"

namespace velmora {
namespace {

// One text-bearing argument of an operation, checked for UTF-8 before anything is sent.
class TextArgument {
 public:
  TextArgument(const char* name, const std::string& text) : name_(name), value_(&text) {}
  TextArgument(const char* name, const std::vector<std::string>& list)
      : name_(name), value_(&list) {}
  TextArgument(const char* name, const std::vector<RecipientsMessage>& list)
      : name_(name), value_(&list) {}

  // Where the argument holds bytes that are not UTF-8 ("mobiles[2]"), or empty when it holds none.
  std::string invalidPart() const {
    return std::visit([this](const auto* value) { return invalidPart(*value); }, value_);
  }

 private:
  std::string invalidPart(const std::string& text) const {
    return detail::isValidUtf8(text) ? std::string() : std::string(name_);
  }
  std::string invalidPart(const std::vector<std::string>& list) const {
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (!detail::isValidUtf8(list[i])) return element(i);
    }
    return {};
  }
  std::string invalidPart(const std::vector<RecipientsMessage>& list) const {
    for (std::size_t i = 0; i < list.size(); ++i) {
      const RecipientsMessage& m = list[i];
      if (!detail::isValidUtf8(m.Id())) return element(i) + ".id";
      if (!detail::isValidUtf8(m.Message())) return element(i) + ".message";
      if (!detail::isValidUtf8(m.Mobile())) return element(i) + ".mobile";
    }
    return {};
  }
  std::string element(std::size_t index) const {
    return std::string(name_) + "[" + std::to_string(index) + "]";
  }

  const char* name_;
  std::variant<const std::string*, const std::vector<std::string>*,
               const std::vector<RecipientsMessage>*>
      value_;
};

// JSON cannot carry bytes that are not UTF-8, and the service would garble or refuse them, so
// such a call sends nothing: the body is made only when every text argument is UTF-8.
template <class MakeBody>
detail::JsonBody checkedBody(std::initializer_list<TextArgument> arguments, MakeBody makeBody) {
  for (const TextArgument& argument : arguments) {
    const std::string where = argument.invalidPart();
    if (!where.empty()) return {{}, where + " is not valid UTF-8"};
  }
  return {makeBody(), {}};
}

}  // namespace

void Velmora::SendMessage(const std::string& phoneNumber, const std::string& message,
                          const std::vector<std::string>& mobiles, const std::string& userGroupID,
                          std::int64_t SendDateInTimeStamp, ResultCompletion completion) {
  callAPI("SendMessage",
          checkedBody({{"phoneNumber", phoneNumber},
                       {"message", message},
                       {"mobiles", mobiles},
                       {"userGroupID", userGroupID}},
                      [&] {
                        return detail::sendMessageBody(*jsonEncoder, phoneNumber, message, mobiles,
                                                       userGroupID, SendDateInTimeStamp);
                      }),
          std::move(completion));
}

void Velmora::SendCorrespondingMessage(const std::string& phoneNumber,
                                       const std::vector<RecipientsMessage>& recipientsMessage,
                                       const std::string& userGroupID,
                                       ResultCompletion completion) {
  callAPI("SendCorrespondingMessage",
          checkedBody({{"phoneNumber", phoneNumber},
                       {"recipientsMessage", recipientsMessage},
                       {"userGroupID", userGroupID}},
                      [&] {
                        return detail::sendCorrespondingMessageBody(*jsonEncoder, phoneNumber,
                                                                    recipientsMessage, userGroupID);
                      }),
          std::move(completion));
}

void Velmora::SendMessageToPort(const std::string& phoneNumber, std::int64_t recievePortNumber,
                                std::int64_t sendPortNumber, const std::string& userGroupID,
                                const std::vector<RecipientsMessage>& recipientsMessage,
                                ResultCompletion completion) {
  callAPI("SendMessageToPort",
          checkedBody({{"phoneNumber", phoneNumber},
                       {"userGroupID", userGroupID},
                       {"recipientsMessage", recipientsMessage}},
                      [&] {
                        return detail::sendMessageToPortBody(*jsonEncoder, phoneNumber,
                                                             recievePortNumber, sendPortNumber,
                                                             userGroupID, recipientsMessage);
                      }),
          std::move(completion));
}

void Velmora::GroupMessageStatus(const std::string& groupMessageId, ResultCompletion completion) {
  callAPI("GroupMessageStatus",
          checkedBody({{"groupMessageId", groupMessageId}},
                      [&] { return detail::groupMessageStatusBody(*jsonEncoder, groupMessageId); }),
          std::move(completion));
}

void Velmora::CorrespondingMessageStatus(const std::vector<std::string>& messageId,
                                         ResultCompletion completion) {
  callAPI(
      "CorrespondingMessageStatus",
      checkedBody({{"messageId", messageId}},
                  [&] { return detail::correspondingMessageStatusBody(*jsonEncoder, messageId); }),
      std::move(completion));
}

void Velmora::GetGroupMessageId(const std::string& groupId, ResultCompletion completion) {
  callAPI("GetGroupMessageId",
          checkedBody({{"groupId", groupId}},
                      [&] { return detail::getGroupMessageIdBody(*jsonEncoder, groupId); }),
          std::move(completion));
}

void Velmora::ReceiveMessages(const std::string& phoneNumber, std::int64_t startDate,
                              std::int64_t EndDate, std::int64_t page,
                              ResultCompletion completion) {
  callAPI("ReceiveMessages",
          checkedBody({{"phoneNumber", phoneNumber}},
                      [&] {
                        return detail::receiveMessagesBody(*jsonEncoder, phoneNumber, startDate,
                                                           EndDate, page);
                      }),
          std::move(completion));
}

void Velmora::GetCredit(ResultCompletion completion) {
  // The line marks, in the application's output, that the credit answer (or its failure) is in.
  callAPI("GetCredit", {},
          [reporter = settings->reporter("GetCredit"),
           completion = std::move(completion)](std::shared_ptr<Result> result) {
            reporter.print(DiagnosticKind::Notice, "I AM BACK");
            if (completion) completion(std::move(result));
          });
}

void Velmora::GetPrices(ResultCompletion completion) {
  callAPI("GetPrices", {}, std::move(completion));
}

void Velmora::ShowWhiteList(const std::vector<std::string>& Mobiles, ResultCompletion completion) {
  callAPI("ShowWhiteList",
          checkedBody({{"Mobiles", Mobiles}},
                      [&] { return detail::showWhiteListBody(*jsonEncoder, Mobiles); }),
          std::move(completion));
}

}  // namespace velmora
