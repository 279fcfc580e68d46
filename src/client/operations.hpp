#pragma once

#include <array>
#include <cstddef>

// The service's thirteen operations, each described once. The client's members are one-line
// entries into this table (the completion's type picks the answer's reader); the unit tests
// walk it.
namespace velmora::detail {

/// How an operation reaches the service.
enum class Protocol {
  Json,  ///< POST "<restBaseUrl>/api/smsAPI/<name>" with a JSON body
  Soap,  ///< POST a SOAP 1.2 envelope to soapUrl with SOAPAction "<namespace><name>"
};

/// One operation: its name (the JSON path's last segment, or the SOAPAction after the
/// namespace), its protocol, and the names of its text arguments
/// in the order the member takes them (checked before anything is sent: UTF-8 for JSON, what
/// XML can carry for SOAP). A SOAP operation's second text goes into the element `lastTag`.
struct Operation {
  const char* name;
  Protocol protocol;
  std::array<const char*, 4> texts;  ///< unused places are null
  const char* lastTag = nullptr;     ///< SOAP only: "Footer" or "Code"
  /// Only reads: sending it twice changes nothing at the service, so it may be retried after a
  /// failure that may have reached it (`RetryPolicy::reads`).
  bool read = false;
};

namespace operation {
inline constexpr Operation SendMessage{
    "SendMessage", Protocol::Json, {"phoneNumber", "message", "mobiles", "userGroupID"}};
inline constexpr Operation SendCorrespondingMessage{
    "SendCorrespondingMessage",
    Protocol::Json,
    {"phoneNumber", "recipientsMessage", "userGroupID"}};
inline constexpr Operation SendMessageToPort{
    "SendMessageToPort", Protocol::Json, {"phoneNumber", "userGroupID", "recipientsMessage"}};
inline constexpr Operation GroupMessageStatus{
    "GroupMessageStatus", Protocol::Json, {"groupMessageId"}, nullptr, true};
inline constexpr Operation CorrespondingMessageStatus{
    "CorrespondingMessageStatus", Protocol::Json, {"messageId"}, nullptr, true};
inline constexpr Operation GetGroupMessageId{
    "GetGroupMessageId", Protocol::Json, {"groupId"}, nullptr, true};
inline constexpr Operation ReceiveMessages{
    "ReceiveMessages", Protocol::Json, {"phoneNumber"}, nullptr, true};
inline constexpr Operation GetCredit{"GetCredit", Protocol::Json, {}, nullptr, true};
inline constexpr Operation GetPrices{"GetPrices", Protocol::Json, {}, nullptr, true};
inline constexpr Operation ShowWhiteList{
    "ShowWhiteList", Protocol::Json, {"Mobiles"}, nullptr, true};
inline constexpr Operation AutoSendCode{
    "AutoSendCode", Protocol::Soap, {"phoneNumber", "footer"}, "Footer"};
inline constexpr Operation CheckSendCode{
    "CheckSendCode", Protocol::Soap, {"reciptionNumber", "code"}, "Code"};
inline constexpr Operation SendMessageWithCode{
    "SendMessageWithCode", Protocol::Soap, {"reciptionNumber", "code"}, "Code"};
}  // namespace operation

/// Every operation, in the order the client declares them.
inline constexpr std::array<const Operation*, 13> kOperations = {
    &operation::SendMessage,
    &operation::SendCorrespondingMessage,
    &operation::SendMessageToPort,
    &operation::GroupMessageStatus,
    &operation::CorrespondingMessageStatus,
    &operation::GetGroupMessageId,
    &operation::ReceiveMessages,
    &operation::GetCredit,
    &operation::GetPrices,
    &operation::ShowWhiteList,
    &operation::AutoSendCode,
    &operation::CheckSendCode,
    &operation::SendMessageWithCode};

}  // namespace velmora::detail
