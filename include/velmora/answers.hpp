#pragma once

/// @file
/// Typed readers of the JSON operations' payloads. Each takes the `Result` a completion received
/// and returns the value it holds, or a sentence saying why it could not be read; none throws and
/// none guesses. A whole number is read from a JSON number without a fraction or from a JSON
/// string of decimal digits (an optional leading minus); members other than those read are
/// ignored. The shapes each reader expects are listed on the page @ref payloads.
///
///     client.SendMessage("3000", "hi", mobiles, "", 0, [](std::shared_ptr<velmora::Result> r) {
///       auto receipt = velmora::readSendReceipt(r);
///       if (!receipt) return report(receipt.error);   // failed call, refusal or odd payload
///       follow(receipt.value->groupMessageId);
///     });

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velmora/export.h"
#include "velmora/failure.hpp"
#include "velmora/messages.hpp"
#include "velmora/result.hpp"

namespace velmora {

/// A value read from a payload, or why it was not: `value` is set, or `failure` and `error` are.
/// A plain value; any thread.
template <class T>
struct Answer {
  std::optional<T> value;  ///< the typed value; absent when `error` says why
  /// Empty when `value` is set. Otherwise one sentence: the call failed ("the call failed: ..."),
  /// the service refused it ("the service answered CreditError (3003): ..."), or the payload
  /// does not have the expected shape ("Result[2].Status is not a whole number").
  std::string error;
  /// Why there is no value, as the typed operations hand it on: a copy of the failed call's
  /// `currentFailure()` (read inside the completion; outside it only "the call failed" is
  /// known), a `FailureKind::ServiceRefused` with the service's code and message, or a
  /// `FailureKind::MalformedAnswer` whose `member` names the part that was wrong.
  std::optional<Failure> failure;

  /// True when the value is set.
  explicit operator bool() const noexcept { return value.has_value(); }
};

/// What a sending operation's answer reports (`SendMessage`, `SendCorrespondingMessage`,
/// `SendMessageToPort`).
struct SendReceipt {
  std::string groupMessageId;              ///< the id of the whole send, for `GroupMessageStatus`
  std::vector<std::string> messageIds;     ///< one per recipient, in the order they were given
  std::optional<std::int64_t> cost;        ///< what the send cost, when the service says
  std::optional<std::int64_t> creditLeft;  ///< the credit after the send, when the service says
};

/// The delivery state of one message (`GroupMessageStatus`, `CorrespondingMessageStatus`).
struct DeliveryEntry {
  std::string messageId;  ///< the message's id
  std::string mobile;     ///< the number it was sent to; empty for an id the service does not know
  /// The state; absent when the service sent a number that is no `StatusCode` (see `rawStatus`).
  std::optional<StatusCode> status;
  std::int64_t rawStatus = 0;  ///< the number the service sent, known or not
};

/// The account's prices and text-length rules (`GetPrices`).
struct Prices {
  std::int64_t asciiPartPrice = 0;     ///< price of one part of a text in ASCII
  std::int64_t unicodePartPrice = 0;   ///< price of one part of any other text
  std::int64_t asciiPartLength = 0;    ///< characters in one ASCII part
  std::int64_t unicodePartLength = 0;  ///< characters in one part of any other text
  std::int64_t maxParts = 0;           ///< the most parts one text may take
};

/// Whether one number is in the service's white list (`ShowWhiteList`).
struct WhiteListEntry {
  std::string mobile;        ///< the number asked
  bool inWhiteList = false;  ///< true when it is in the list
};

/// The account's credit (`Velmora::credit`).
struct Credit {
  std::int64_t amount = 0;  ///< in the service's unit, as it sent it
};

/// The white-list entries of the numbers asked (`Velmora::whiteList`), in the service's order.
struct WhiteList {
  std::vector<WhiteListEntry> entries;  ///< one per number
};

/// The group message id of the latest send made under a group id (`Velmora::groupMessageId`).
struct GroupMessageId {
  std::string id;  ///< never empty; for `Velmora::groupStatus`
};

/// One page of received messages (`Velmora::inbox`).
struct InboxPage {
  std::int64_t page = 1;               ///< the page asked, from 1
  std::vector<ReceivedMsgs> messages;  ///< oldest first, as the service sent them
  /// True for a page past the last one: it holds no message.
  /// @return whether `messages` is empty
  bool pastEnd() const noexcept { return messages.empty(); }
};

/// A verification code the service took to send (`Velmora::sendCode`,
/// `Velmora::sendWithCode`).
struct CodeSent {
  /// The id of the message carrying the code: the service's number, always positive. Any other
  /// number the service gives is its refusal, handed on as `Failure::rawCode`.
  std::int64_t messageId = 0;
};

/// The service's verdict on a typed code (`Velmora::checkCode`).
struct CodeCheck {
  bool matches = false;  ///< true when the code is the one sent to the number
};

/// The receipt of a send: "GroupMessageId" (text or whole number), "MessageIds" (an array of
/// texts or whole numbers), and "Cost" and "Credit" when present. An id given as a number must
/// be positive, one given as a text must not be empty: anything else names no message and is
/// refused. Pure; any thread.
/// @param result what the sending operation's completion received (null when the call failed)
/// @return the receipt, or why there is none
VELMORA_EXPORT Answer<SendReceipt> readSendReceipt(const std::shared_ptr<Result>& result);

/// The delivery entries: an array of objects with "MessageId", "Mobile" and "Status".
/// A status number that is no `StatusCode` is kept in `rawStatus`, not refused. Pure; any thread.
/// @param result what `GroupMessageStatus` or `CorrespondingMessageStatus` completed with
/// @return the entries in the service's order, or why there are none
VELMORA_EXPORT Answer<std::vector<DeliveryEntry>> readDeliveryStates(
    const std::shared_ptr<Result>& result);

/// The group message id that `GetGroupMessageId` found: a non-empty text or a positive whole
/// number (a number that is not positive is refused: it names no send). A
/// `GroupError` answer (no send with that group id) is an error like any other refusal; look
/// at `result->Code()` to tell it apart. Pure; any thread.
/// @param result what `GetGroupMessageId` completed with
/// @return the id, never empty, or why there is none
VELMORA_EXPORT Answer<std::string> readGroupMessageId(const std::shared_ptr<Result>& result);

/// One page of received messages: an array of objects with "MsgBody", "Mobile" and "Dates"
/// (a whole number). An empty array is a page past the end. Pure; any thread.
/// @param result what `ReceiveMessages` completed with
/// @return new records, oldest first as the service sent them, or why there are none
VELMORA_EXPORT Answer<std::vector<std::shared_ptr<ReceivedMsgs>>> readInboxPage(
    const std::shared_ptr<Result>& result);

/// The credit: a whole number. Pure; any thread.
/// @param result what `GetCredit` completed with
/// @return the credit, or why there is none
VELMORA_EXPORT Answer<std::int64_t> readCredit(const std::shared_ptr<Result>& result);

/// The prices: an object with "AsciiPartPrice", "UnicodePartPrice", "AsciiPartLength",
/// "UnicodePartLength" and "MaxParts", each a whole number. Pure; any thread.
/// @param result what `GetPrices` completed with
/// @return the prices, or why there are none
VELMORA_EXPORT Answer<Prices> readPrices(const std::shared_ptr<Result>& result);

/// The white-list entries: an array of objects with "Mobile" and "InWhiteList" (true or false).
/// Pure; any thread.
/// @param result what `ShowWhiteList` completed with
/// @return one entry per number, in the service's order, or why there are none
VELMORA_EXPORT Answer<std::vector<WhiteListEntry>> readWhiteList(
    const std::shared_ptr<Result>& result);

/// True for a state that will not change any more: `Sended`, `Filtered`,
/// `NotInTelecommunication` and `NumberError`. `Unknown` and `ServerFull` are not final on
/// purpose: the first is also what a message the service has not registered yet reads as, the
/// second a queue that may still take it; calling either final would tell a caller to resend a
/// text that may then arrive twice. A follower stops at its own time limit instead. `InQueue`
/// and `InTelecommunication` are on their way. Pure; any thread.
/// @param status a delivery state
/// @return whether the state is final
VELMORA_EXPORT bool isFinal(StatusCode status) noexcept;

/// True only for `Sended`, the one state that means the phone received the text. Pure; any thread.
/// @param status a delivery state
/// @return whether the text was delivered
VELMORA_EXPORT bool isDelivered(StatusCode status) noexcept;

}  // namespace velmora
