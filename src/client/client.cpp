// The client: every operation checks its arguments, builds its request body or envelope and
// hands it to the exchange of its protocol.

#include "velmora/client.hpp"

#include <initializer_list>
#include <utility>
#include <variant>

#include "call/exchange.hpp"
#include "call/refusal.hpp"
#include "client/settings.hpp"
#include "rest/call.hpp"
#include "rest/json_encoder.hpp"
#include "rest/request_bodies.hpp"
#include "soap/answer.hpp"
#include "soap/call.hpp"
#include "soap/envelope.hpp"
#include "text/base64.hpp"
#include "text/utf8.hpp"

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
// such a call sends nothing.
detail::Refusal utf8Refusal(std::initializer_list<TextArgument> arguments) {
  for (const TextArgument& argument : arguments) {
    const std::string where = argument.invalidPart();
    if (!where.empty()) return {where + " is not valid UTF-8"};
  }
  return {};
}

// The body of the operations that send none.
std::string withoutBody() {
  return {};
}

// One verification-code request: the operation and its two arguments, with the names under
// which a value that cannot be sent is reported.
struct VerificationRequest {
  const char* operation;
  const char* numberName;
  const std::string& number;
  const char* lastTag;
  const char* lastName;
  const std::string& lastValue;
};

// The name of the first value that XML cannot carry at all (invalid UTF-8, NUL and most control
// characters), or null when every value can be sent. Escaping cannot help such a value: no XML
// reader could take the envelope.
const char* uncarriable(const VerificationRequest& request, const std::string& username,
                        const std::string& password) {
  if (!detail::isXmlCarriable(username)) return "username";
  if (!detail::isXmlCarriable(password)) return "password";
  if (!detail::isXmlCarriable(request.number)) return request.numberName;
  if (!detail::isXmlCarriable(request.lastValue)) return request.lastName;
  return nullptr;
}

// "Basic " and the base64 of "username:password".
std::string basicAuthorization(const std::string& username, const std::string& password) {
  std::string credentials;
  credentials.reserve(username.size() + 1 + password.size());
  credentials.append(username).append(":").append(password);
  return "Basic " + detail::base64Encode(credentials);
}

}  // namespace

struct Velmora::Impl {
  Impl(std::string name, std::string secret, Options options)
      : username(std::move(name)),
        password(std::move(secret)),
        authorization(basicAuthorization(username, password)),
        settings(std::move(options)) {}

  /// Posts the body that `makeBody` writes to the JSON operation `operation`, unless a setting
  /// or a text argument forbids sending; `completion` runs once on the completion thread.
  template <class MakeBody>
  void callAPI(const char* operation, std::initializer_list<TextArgument> arguments,
               MakeBody makeBody, ResultCompletion completion) const {
    const detail::Reporter reporter = settings.reporter(operation);
    const detail::Refusal refusal =
        settings.restRefusal ? settings.restRefusal : utf8Refusal(arguments);
    if (refusal) {
      detail::refuse(settings.transport(), reporter, refusal,
                     [reporter, completion = std::move(completion)](const Failure& failure) {
                       detail::deliver(reporter, completion, std::shared_ptr<Result>(),
                                       std::optional<Failure>(failure));
                     });
      return;
    }
    detail::postJson(settings.transport(), settings.request(settings.restBase), authorization,
                     reporter, makeBody(), std::move(completion));
  }
  /// Builds one verification-code envelope and posts it, unless a value or a setting forbids.
  void sendVerification(const VerificationRequest& request, const detail::Reporter& reporter,
                        detail::XmlCompletion answer) const;

  detail::JsonEncoder jsonEncoder;
  std::string username;
  std::string password;
  std::string authorization;  // the credentials never change, so the header is made once
  detail::ClientSettings settings;
};

Velmora::Velmora(std::string username, std::string password)
    : Velmora(std::move(username), std::move(password), Options{}) {}

Velmora::Velmora(std::string username, std::string password, Options options)
    : impl(std::make_unique<const Impl>(std::move(username), std::move(password),
                                        std::move(options))) {}

Velmora::~Velmora() = default;

std::string Velmora::getAuthHeader() const {
  return impl->authorization;
}

void Velmora::SendMessage(const std::string& phoneNumber, const std::string& message,
                          const std::vector<std::string>& mobiles, const std::string& userGroupID,
                          std::int64_t SendDateInTimeStamp, ResultCompletion completion) {
  impl->callAPI(
      "SendMessage",
      {{"phoneNumber", phoneNumber},
       {"message", message},
       {"mobiles", mobiles},
       {"userGroupID", userGroupID}},
      [&] {
        return detail::sendMessageBody(impl->jsonEncoder, phoneNumber, message, mobiles,
                                       userGroupID, SendDateInTimeStamp);
      },
      std::move(completion));
}

void Velmora::SendCorrespondingMessage(const std::string& phoneNumber,
                                       const std::vector<RecipientsMessage>& recipientsMessage,
                                       const std::string& userGroupID,
                                       ResultCompletion completion) {
  impl->callAPI(
      "SendCorrespondingMessage",
      {{"phoneNumber", phoneNumber},
       {"recipientsMessage", recipientsMessage},
       {"userGroupID", userGroupID}},
      [&] {
        return detail::sendCorrespondingMessageBody(impl->jsonEncoder, phoneNumber,
                                                    recipientsMessage, userGroupID);
      },
      std::move(completion));
}

void Velmora::SendMessageToPort(const std::string& phoneNumber, std::int64_t recievePortNumber,
                                std::int64_t sendPortNumber, const std::string& userGroupID,
                                const std::vector<RecipientsMessage>& recipientsMessage,
                                ResultCompletion completion) {
  impl->callAPI(
      "SendMessageToPort",
      {{"phoneNumber", phoneNumber},
       {"userGroupID", userGroupID},
       {"recipientsMessage", recipientsMessage}},
      [&] {
        return detail::sendMessageToPortBody(impl->jsonEncoder, phoneNumber, recievePortNumber,
                                             sendPortNumber, userGroupID, recipientsMessage);
      },
      std::move(completion));
}

void Velmora::GroupMessageStatus(const std::string& groupMessageId, ResultCompletion completion) {
  impl->callAPI(
      "GroupMessageStatus",

      {{"groupMessageId", groupMessageId}},
      [&] { return detail::groupMessageStatusBody(impl->jsonEncoder, groupMessageId); },
      std::move(completion));
}

void Velmora::CorrespondingMessageStatus(const std::vector<std::string>& messageId,
                                         ResultCompletion completion) {
  impl->callAPI(
      "CorrespondingMessageStatus",

      {{"messageId", messageId}},
      [&] { return detail::correspondingMessageStatusBody(impl->jsonEncoder, messageId); },
      std::move(completion));
}

void Velmora::GetGroupMessageId(const std::string& groupId, ResultCompletion completion) {
  impl->callAPI(
      "GetGroupMessageId", {{"groupId", groupId}},
      [&] { return detail::getGroupMessageIdBody(impl->jsonEncoder, groupId); },
      std::move(completion));
}

void Velmora::ReceiveMessages(const std::string& phoneNumber, std::int64_t startDate,
                              std::int64_t EndDate, std::int64_t page,
                              ResultCompletion completion) {
  impl->callAPI(
      "ReceiveMessages", {{"phoneNumber", phoneNumber}},
      [&] {
        return detail::receiveMessagesBody(impl->jsonEncoder, phoneNumber, startDate, EndDate,
                                           page);
      },
      std::move(completion));
}

void Velmora::GetCredit(ResultCompletion completion) {
  // The line marks, in the application's output, that the credit answer (or its failure) is in.
  impl->callAPI("GetCredit", {}, withoutBody,
                [reporter = impl->settings.reporter("GetCredit"),
                 completion = std::move(completion)](std::shared_ptr<Result> result) {
                  reporter.print(DiagnosticKind::Notice, "I AM BACK");
                  if (completion) completion(std::move(result));
                });
}

void Velmora::GetPrices(ResultCompletion completion) {
  impl->callAPI("GetPrices", {}, withoutBody, std::move(completion));
}

void Velmora::ShowWhiteList(const std::vector<std::string>& Mobiles, ResultCompletion completion) {
  impl->callAPI(
      "ShowWhiteList", {{"Mobiles", Mobiles}},
      [&] { return detail::showWhiteListBody(impl->jsonEncoder, Mobiles); }, std::move(completion));
}

void Velmora::Impl::sendVerification(const VerificationRequest& request,
                                     const detail::Reporter& reporter,
                                     detail::XmlCompletion answer) const {
  detail::Refusal refusal = settings.soapRefusal;
  if (const char* bad = refusal ? nullptr : uncarriable(request, username, password)) {
    refusal.reason = std::string(bad) + " holds text that XML cannot carry";
  }
  if (refusal) {
    detail::refuse(
        settings.transport(), reporter, refusal,
        [answer = std::move(answer)](const Failure& failure) { answer(nullptr, failure); });
    return;
  }
  const std::string& serviceNamespace = settings.options.soapNamespace;
  detail::postSoap(settings.transport(), settings.request(settings.soapUrl), reporter,
                   detail::buildEnvelope({serviceNamespace, request.operation, username, password,
                                          request.number, request.lastTag, request.lastValue}),
                   serviceNamespace + request.operation, std::move(answer));
}

void Velmora::AutoSendCode(const std::string& phoneNumber, const std::string& footer,
                           NumberCompletion completion) {
  const detail::Reporter reporter = impl->settings.reporter("AutoSendCode");
  impl->sendVerification({"AutoSendCode", "phoneNumber", phoneNumber, "Footer", "footer", footer},
                         reporter, detail::numberAnswer(reporter, std::move(completion)));
}

void Velmora::CheckSendCode(const std::string& reciptionNumber, const std::string& code,
                            TruthCompletion completion) {
  const detail::Reporter reporter = impl->settings.reporter("CheckSendCode");
  impl->sendVerification(
      {"CheckSendCode", "reciptionNumber", reciptionNumber, "Code", "code", code}, reporter,
      detail::truthAnswer(reporter, std::move(completion)));
}

void Velmora::SendMessageWithCode(const std::string& reciptionNumber, const std::string& code,
                                  NumberCompletion completion) {
  const detail::Reporter reporter = impl->settings.reporter("SendMessageWithCode");
  impl->sendVerification(
      {"SendMessageWithCode", "reciptionNumber", reciptionNumber, "Code", "code", code}, reporter,
      detail::numberAnswer(reporter, std::move(completion)));
}

}  // namespace velmora
