// The client: every member is one entry into the operation table; the table's entry and the
// member's arguments say what is checked, written and read.

#include "velmora/client.hpp"

#include <initializer_list>
#include <utility>
#include <variant>

#include "call/exchange.hpp"
#include "call/refusal.hpp"
#include "client/lifeline.hpp"
#include "client/operations.hpp"
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

using detail::Operation;
namespace operation = detail::operation;

// The value of one text-bearing argument, named by the operation's table entry.
using TextValue = std::variant<const std::string*, const std::vector<std::string>*,
                               const std::vector<RecipientsMessage>*>;

// Where `value` holds bytes that are not UTF-8 ("mobiles[2]"), or empty when it holds none. The
// name is only spelled out for a refusal: the check runs on every call.
std::string invalidPart(const char* name, const std::string* text) {
  return detail::isValidUtf8(*text) ? std::string() : std::string(name);
}
std::string element(const char* name, std::size_t index) {
  return std::string(name) + "[" + std::to_string(index) + "]";
}
std::string invalidPart(const char* name, const std::vector<std::string>* list) {
  for (std::size_t i = 0; i < list->size(); ++i) {
    if (!detail::isValidUtf8((*list)[i])) return element(name, i);
  }
  return {};
}
std::string invalidPart(const char* name, const std::vector<RecipientsMessage>* list) {
  for (std::size_t i = 0; i < list->size(); ++i) {
    const RecipientsMessage& m = (*list)[i];
    if (!detail::isValidUtf8(m.Id())) return element(name, i) + ".id";
    if (!detail::isValidUtf8(m.Message())) return element(name, i) + ".message";
    if (!detail::isValidUtf8(m.Mobile())) return element(name, i) + ".mobile";
  }
  return {};
}

// JSON cannot carry bytes that are not UTF-8, and the service would garble or refuse them, so
// such a call sends nothing. `values` follow the order of the operation's text names.
detail::Refusal utf8Refusal(const Operation& op, std::initializer_list<TextValue> values) {
  std::size_t index = 0;
  for (const TextValue& value : values) {
    const char* name = op.texts.at(index++);
    const std::string where =
        std::visit([name](const auto* v) { return invalidPart(name, v); }, value);
    if (!where.empty()) return {where + " is not valid UTF-8"};
  }
  return {};
}

// The body of the operations that send none.
std::string withoutBody() {
  return {};
}

// The name of the first value that XML cannot carry at all (invalid UTF-8, NUL and most control
// characters), or null when every value can be sent. Escaping cannot help such a value: no XML
// reader could take the envelope.
const char* uncarriable(const Operation& op, const std::string& number, const std::string& last,
                        const std::string& username, const std::string& password) {
  if (!detail::isXmlCarriable(username)) return "username";
  if (!detail::isXmlCarriable(password)) return "password";
  if (!detail::isXmlCarriable(number)) return op.texts[0];
  if (!detail::isXmlCarriable(last)) return op.texts[1];
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
  Impl(Velmora* client, std::string name, std::string secret, Options options)
      : lifeline(std::make_shared<detail::Lifeline>(client)),
        username(std::move(name)),
        password(std::move(secret)),
        authorization(basicAuthorization(username, password)),
        jsonHeaders{"Content-Type: application/json", "Authorization: " + authorization},
        settings(std::move(options)) {}

  /// Posts the body that `makeBody` writes to the JSON operation `op`, unless a setting or a
  /// text argument forbids sending; `completion` runs once on the completion thread.
  template <class MakeBody>
  void callAPI(const Operation& op, std::initializer_list<TextValue> texts, MakeBody makeBody,
               ResultCompletion completion) const {
    const detail::CallContext context = settings.context(op.name);
    const detail::Refusal refusal =
        settings.restRefusal ? settings.restRefusal : utf8Refusal(op, texts);
    if (refusal) {
      detail::refuse(settings.transport(), context, refusal,
                     [context, completion = std::move(completion)](const Failure& failure) {
                       detail::deliver(context, completion, std::shared_ptr<Result>(),
                                       std::optional<Failure>(failure), 0);
                     });
      return;
    }
    detail::postJson(
        settings.transport(), settings.request(detail::jsonUrl(settings.restBase, op.name)),
        jsonHeaders, context, makeBody(),
        op.read ? detail::Repeat::IfTransient : detail::Repeat::IfNeverSent, std::move(completion));
  }

  /// The verification-code operation `op` whose answer is a number.
  void verify(const Operation& op, const std::string& number, const std::string& last,
              NumberCompletion completion) const {
    const detail::CallContext context = settings.context(op.name);
    sendEnvelope(op, number, last, context, detail::numberAnswer(std::move(completion)));
  }
  /// The verification-code operation `op` whose answer is a truth value.
  void verify(const Operation& op, const std::string& number, const std::string& last,
              TruthCompletion completion) const {
    const detail::CallContext context = settings.context(op.name);
    sendEnvelope(op, number, last, context, detail::truthAnswer(std::move(completion)));
  }
  /// Builds one verification-code envelope and posts it, unless a value or a setting forbids.
  void sendEnvelope(const Operation& op, const std::string& number, const std::string& last,
                    const detail::CallContext& context, detail::XmlCompletion answer) const;

  /// Cut when the client goes: work that outlives a call (the inbox pager) then stops.
  std::shared_ptr<detail::Lifeline> lifeline;
  detail::JsonEncoder jsonEncoder;
  std::string username;
  std::string password;
  std::string authorization;             // the credentials never change, so the header is made once
  std::vector<std::string> jsonHeaders;  // every JSON operation's header lines
  detail::ClientSettings settings;
};

Velmora::Velmora(std::string username, std::string password)
    : Velmora(std::move(username), std::move(password), Options{}) {}

Velmora::Velmora(std::string username, std::string password, Options options)
    : impl(std::make_unique<const Impl>(this, std::move(username), std::move(password),
                                        std::move(options))) {}

Velmora::~Velmora() {
  impl->lifeline->cut();
}

std::string Velmora::getAuthHeader() const {
  return impl->authorization;
}

void Velmora::SendMessage(const std::string& phoneNumber, const std::string& message,
                          const std::vector<std::string>& mobiles, const std::string& userGroupID,
                          std::int64_t SendDateInTimeStamp, ResultCompletion completion) {
  impl->callAPI(
      operation::SendMessage, {&phoneNumber, &message, &mobiles, &userGroupID},
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
      operation::SendCorrespondingMessage, {&phoneNumber, &recipientsMessage, &userGroupID},
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
      operation::SendMessageToPort, {&phoneNumber, &userGroupID, &recipientsMessage},
      [&] {
        return detail::sendMessageToPortBody(impl->jsonEncoder, phoneNumber, recievePortNumber,
                                             sendPortNumber, userGroupID, recipientsMessage);
      },
      std::move(completion));
}

void Velmora::GroupMessageStatus(const std::string& groupMessageId, ResultCompletion completion) {
  impl->callAPI(
      operation::GroupMessageStatus, {&groupMessageId},
      [&] { return detail::groupMessageStatusBody(impl->jsonEncoder, groupMessageId); },
      std::move(completion));
}

void Velmora::CorrespondingMessageStatus(const std::vector<std::string>& messageId,
                                         ResultCompletion completion) {
  impl->callAPI(
      operation::CorrespondingMessageStatus, {&messageId},
      [&] { return detail::correspondingMessageStatusBody(impl->jsonEncoder, messageId); },
      std::move(completion));
}

void Velmora::GetGroupMessageId(const std::string& groupId, ResultCompletion completion) {
  impl->callAPI(
      operation::GetGroupMessageId, {&groupId},
      [&] { return detail::getGroupMessageIdBody(impl->jsonEncoder, groupId); },
      std::move(completion));
}

void Velmora::ReceiveMessages(const std::string& phoneNumber, std::int64_t startDate,
                              std::int64_t EndDate, std::int64_t page,
                              ResultCompletion completion) {
  impl->callAPI(
      operation::ReceiveMessages, {&phoneNumber},
      [&] {
        return detail::receiveMessagesBody(impl->jsonEncoder, phoneNumber, startDate, EndDate,
                                           page);
      },
      std::move(completion));
}

void Velmora::GetCredit(ResultCompletion completion) {
  // The line marks, in the application's output, that the credit answer (or its failure) is in.
  impl->callAPI(operation::GetCredit, {}, withoutBody,
                [context = impl->settings.context(operation::GetCredit.name),
                 completion = std::move(completion)](std::shared_ptr<Result> result) {
                  context.print(DiagnosticKind::Notice, "I AM BACK");
                  if (completion) completion(std::move(result));
                });
}

void Velmora::GetPrices(ResultCompletion completion) {
  impl->callAPI(operation::GetPrices, {}, withoutBody, std::move(completion));
}

void Velmora::ShowWhiteList(const std::vector<std::string>& Mobiles, ResultCompletion completion) {
  impl->callAPI(
      operation::ShowWhiteList, {&Mobiles},
      [&] { return detail::showWhiteListBody(impl->jsonEncoder, Mobiles); }, std::move(completion));
}

void Velmora::wholeInbox(const InboxRequest& request,
                         OutcomeCompletion<std::vector<ReceivedMsgs>> completion) {
  detail::readWholeInbox(impl->lifeline, request, std::move(completion));
}

std::size_t Velmora::drain(std::chrono::milliseconds timeout) {
  return impl->settings.transport().drain(timeout);
}

void Velmora::Impl::sendEnvelope(const Operation& op, const std::string& number,
                                 const std::string& last, const detail::CallContext& context,
                                 detail::XmlCompletion answer) const {
  detail::Refusal refusal = settings.soapRefusal;
  if (const char* bad = refusal ? nullptr : uncarriable(op, number, last, username, password)) {
    refusal.reason = std::string(bad) + " holds text that XML cannot carry";
  }
  if (refusal) {
    detail::refuse(settings.transport(), context, refusal,
                   [answer = std::move(answer), context](const Failure& failure) {
                     answer(nullptr, failure, context);
                   });
    return;
  }
  const std::string& serviceNamespace = settings.options.soapNamespace;
  detail::postSoap(settings.transport(), settings.request(settings.soapUrl), context,
                   detail::buildEnvelope(
                       {serviceNamespace, op.name, username, password, number, op.lastTag, last}),
                   serviceNamespace + op.name, std::move(answer));
}

void Velmora::AutoSendCode(const std::string& phoneNumber, const std::string& footer,
                           NumberCompletion completion) {
  impl->verify(operation::AutoSendCode, phoneNumber, footer, std::move(completion));
}

void Velmora::CheckSendCode(const std::string& reciptionNumber, const std::string& code,
                            TruthCompletion completion) {
  impl->verify(operation::CheckSendCode, reciptionNumber, code, std::move(completion));
}

void Velmora::SendMessageWithCode(const std::string& reciptionNumber, const std::string& code,
                                  NumberCompletion completion) {
  impl->verify(operation::SendMessageWithCode, reciptionNumber, code, std::move(completion));
}

}  // namespace velmora
