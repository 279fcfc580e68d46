#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velmora/answers.hpp"
#include "velmora/export.h"
#include "velmora/failure.hpp"
#include "velmora/messages.hpp"
#include "velmora/options.hpp"
#include "velmora/outcome.hpp"
#include "velmora/requests.hpp"
#include "velmora/result.hpp"

namespace velmora {

/// Receives the outcome of a JSON operation: a new `Result`, or null when the exchange failed.
using ResultCompletion = std::function<void(std::shared_ptr<Result>)>;
/// Receives the number read from a verification-code answer, or nothing when it failed.
using NumberCompletion = std::function<void(std::optional<std::int64_t>)>;
/// Receives the truth value read from a `CheckSendCode` answer, or nothing when it failed.
using TruthCompletion = std::function<void(std::optional<bool>)>;

/// The client of the SMS-panel service: one per account.
///
/// Every operation returns at once; its completion runs later, exactly once, on the library's
/// session thread (never on the caller's thread, never inside the call). An empty completion is
/// allowed: the request is still made and nothing is called. Operations may be called from any
/// thread at the same time. A client may be destroyed while its requests run: they keep only the
/// completion, which still runs. Completions may start new requests or destroy the client; an
/// exception thrown by a completion is caught and reported as a printed line. Inside a
/// completion that receives the absent value, `currentFailure()` says why; @ref failures says
/// what to do about it.
///
/// A call that cannot be sent as configured or as asked (a value that is not UTF-8 or that XML
/// cannot carry, an endpoint, proxy, namespace or time-out out of its rules; see `Options`)
/// sends nothing, prints one line naming the operation, and completes with the absent value.
/// The operations are virtual so that applications can substitute the client in their tests.
class VELMORA_EXPORT Velmora {
 public:
  /// A client with the built-in endpoints (see `Options`). Stores the credentials unchanged.
  /// @param username the account's user name
  /// @param password the account's password
  Velmora(std::string username, std::string password);
  /// A client with the given endpoints, trust, time-outs, proxy and diagnostics. The options
  /// are checked here, once; an option out of its rules makes every operation it concerns
  /// refuse (see above), never this constructor fail.
  /// @param username the account's user name
  /// @param password the account's password
  /// @param options endpoints, trust, time-outs, proxy, diagnostics and transport
  Velmora(std::string username, std::string password, Options options);
  virtual ~Velmora();

  Velmora(const Velmora&) = delete;
  Velmora& operator=(const Velmora&) = delete;

  /// The "Authorization" header value: "Basic " and the base64 of "username:password".
  /// @return the header value
  std::string getAuthHeader() const;

  /// Sends `message` to every number of `mobiles`. A failed send may still have arrived: see
  /// @ref sending_safely before sending it again.
  /// @param phoneNumber the account's line the text is sent from
  /// @param message the text, UTF-8
  /// @param mobiles the recipients, 1 to 1,000 per call
  /// @param userGroupID a label of the caller's for this send; `GetGroupMessageId` finds the
  ///   latest send under it ("" for none)
  /// @param SendDateInTimeStamp when to send, in Unix seconds; 0 for now
  /// @param completion receives a new `Result` (read it with `readSendReceipt`, see @ref payloads),
  ///   or null when the call failed or was refused
  virtual void SendMessage(const std::string& phoneNumber, const std::string& message,
                           const std::vector<std::string>& mobiles, const std::string& userGroupID,
                           std::int64_t SendDateInTimeStamp, ResultCompletion completion);
  /// Sends each record's text to its own number.
  /// @param phoneNumber the account's line the texts are sent from
  /// @param recipientsMessage one record per recipient: id, text, number
  /// @param userGroupID a label of the caller's for this send ("" for none)
  /// @param completion receives a new `Result` (read it with `readSendReceipt`, see @ref payloads),
  ///   or null when the call failed or was refused
  virtual void SendCorrespondingMessage(const std::string& phoneNumber,
                                        const std::vector<RecipientsMessage>& recipientsMessage,
                                        const std::string& userGroupID,
                                        ResultCompletion completion);
  /// Sends each record's text to its own number through a receiving and a sending port.
  /// @param phoneNumber the account's line the texts are sent from
  /// @param recievePortNumber the port replies come back to
  /// @param sendPortNumber the port the texts leave from
  /// @param userGroupID a label of the caller's for this send ("" for none)
  /// @param recipientsMessage one record per recipient: id, text, number
  /// @param completion receives a new `Result` (read it with `readSendReceipt`, see @ref payloads),
  ///   or null when the call failed or was refused
  virtual void SendMessageToPort(const std::string& phoneNumber, std::int64_t recievePortNumber,
                                 std::int64_t sendPortNumber, const std::string& userGroupID,
                                 const std::vector<RecipientsMessage>& recipientsMessage,
                                 ResultCompletion completion);
  /// Asks the delivery states of the messages of one send.
  /// @param groupMessageId the send's group message id (`SendReceipt::groupMessageId`)
  /// @param completion receives a new `Result` (read it with `readDeliveryStates`, see @ref
  /// payloads),
  ///   or null when the call failed or was refused
  virtual void GroupMessageStatus(const std::string& groupMessageId, ResultCompletion completion);
  /// Asks the delivery states of individual messages.
  /// @param messageId the messages' ids (`SendReceipt::messageIds`)
  /// @param completion receives a new `Result` (read it with `readDeliveryStates`, see @ref
  /// payloads),
  ///   or null when the call failed or was refused
  virtual void CorrespondingMessageStatus(const std::vector<std::string>& messageId,
                                          ResultCompletion completion);
  /// Asks the group message id of the latest send made with a `userGroupID`.
  /// @param groupId the `userGroupID` the send carried
  /// @param completion receives a new `Result` (read it with `readGroupMessageId`, see @ref
  /// payloads),
  ///   or null when the call failed or was refused
  virtual void GetGroupMessageId(const std::string& groupId, ResultCompletion completion);
  /// Fetches one page of the messages received on `phoneNumber` between two points in time.
  /// @param phoneNumber the account's line whose inbox to read
  /// @param startDate the earliest arrival, in the service's date unit (Unix seconds)
  /// @param EndDate the latest arrival, same unit
  /// @param page the page, from 1; a page past the last is empty
  /// @param completion receives a new `Result` (read it with `readInboxPage`, see @ref payloads),
  ///   or null when the call failed or was refused
  virtual void ReceiveMessages(const std::string& phoneNumber, std::int64_t startDate,
                               std::int64_t EndDate, std::int64_t page,
                               ResultCompletion completion);
  /// Reads the account's credit; prints "I AM BACK" just before the completion runs.
  /// @param completion receives a new `Result` (read it with `readCredit`, see @ref payloads),
  ///   or null when the call failed or was refused
  virtual void GetCredit(ResultCompletion completion);
  /// Reads the account's prices.
  /// @param completion receives a new `Result` (read it with `readPrices`, see @ref payloads),
  ///   or null when the call failed or was refused
  virtual void GetPrices(ResultCompletion completion);
  /// Looks numbers up in the service's white list.
  /// @param Mobiles the numbers to look up
  /// @param completion receives a new `Result` (read it with `readWhiteList`, see @ref payloads),
  ///   or null when the call failed or was refused
  virtual void ShowWhiteList(const std::vector<std::string>& Mobiles, ResultCompletion completion);

  /// Has the service send a verification code to `phoneNumber`, with `footer` below it.
  /// @param phoneNumber the number to send the code to
  /// @param footer the text below the code
  /// @param completion receives the service's number (positive: the message's id; any other:
  ///   its refusal, see @ref verification_codes), or nothing when the call failed or was refused
  virtual void AutoSendCode(const std::string& phoneNumber, const std::string& footer,
                            NumberCompletion completion);
  /// Asks whether `code` is the code sent to `reciptionNumber`.
  /// @param reciptionNumber the number the code was sent to
  /// @param code the code the user typed
  /// @param completion receives the service's verdict (false is a verdict too, see
  ///   @ref verification_codes), or nothing when the call failed or was refused
  virtual void CheckSendCode(const std::string& reciptionNumber, const std::string& code,
                             TruthCompletion completion);
  /// Has the service send a message carrying `code` to `reciptionNumber`.
  /// @param reciptionNumber the number to send the code to
  /// @param code the code to send
  /// @param completion receives the service's number (positive: the message's id; any other:
  ///   its refusal, see @ref verification_codes), or nothing when the call failed or was refused
  virtual void SendMessageWithCode(const std::string& reciptionNumber, const std::string& code,
                                   NumberCompletion completion);

  /// @name Typed operations
  /// Each does what the service member named in its text does, with the same bytes on the wire
  /// and the same printed lines, and hands its completion one `Outcome`: the value read from
  /// the answer, or one `Failure` that says what happened on the wire (kind, whether the
  /// request may have arrived, tries, and for a refusal the service's code and message). Same
  /// threading as the members they stand on; an empty completion is allowed. They call the
  /// virtual members, so a substituted client substitutes them too. For a future or an
  /// awaitable: `toFuture(client, &Velmora::credit)`, `co_await async(client, &Velmora::credit)`.
  /// What to do about each failure: @ref failures; the values read: @ref payloads; sending
  /// again after a failed send: @ref sending_safely.
  /// @{

  /// `SendMessage`: `request.text` to every number of `request.to`.
  /// @param request the line, text, numbers, group and time
  /// @param completion receives the receipt, or why there is none
  void send(const SendRequest& request, OutcomeCompletion<SendReceipt> completion);
  /// `SendCorrespondingMessage`: each record's text to its own number.
  /// @param request the line, the records and the group
  /// @param completion receives the receipt, or why there is none
  void sendEach(const SendEachRequest& request, OutcomeCompletion<SendReceipt> completion);
  /// `SendMessageToPort`: each record's text to its own number, through the ports.
  /// @param request the line, the ports, the records and the group
  /// @param completion receives the receipt, or why there is none
  void sendToPort(const SendToPortRequest& request, OutcomeCompletion<SendReceipt> completion);
  /// `GroupMessageStatus`: the delivery state of every message of one send.
  /// @param groupMessageId the send's `SendReceipt::groupMessageId`
  /// @param completion receives the states in the service's order, or why there are none
  void groupStatus(const std::string& groupMessageId,
                   OutcomeCompletion<std::vector<DeliveryEntry>> completion);
  /// `CorrespondingMessageStatus`: the delivery states of individual messages.
  /// @param messageIds the messages' ids (`SendReceipt::messageIds`)
  /// @param completion receives the states in the service's order, or why there are none
  void messageStatus(const std::vector<std::string>& messageIds,
                     OutcomeCompletion<std::vector<DeliveryEntry>> completion);
  /// `GetGroupMessageId`: the group message id of the latest send under `group`. No such send
  /// is the refusal `ResultCode::GroupError`.
  /// @param group the `SendRequest::group` the send carried
  /// @param completion receives the id, or why there is none
  void groupMessageId(const std::string& group, OutcomeCompletion<GroupMessageId> completion);
  /// `ReceiveMessages`: one page of the inbox.
  /// @param request the line, the dates and the page
  /// @param completion receives the page (`InboxPage::pastEnd` after the last), or why not
  void inbox(const InboxRequest& request, OutcomeCompletion<InboxPage> completion);
  /// Every page of the inbox from `request.page` on, one `ReceiveMessages` after the other,
  /// until a page holds no message; at most `kMostInboxPages` pages. The first page that fails
  /// ends the read with its failure, whose message names the page; with `RetryPolicy::reads`
  /// each page may be tried again first.
  /// @param request the line, the dates and the first page
  /// @param completion receives every message, oldest page first, or why not
  void wholeInbox(const InboxRequest& request,
                  OutcomeCompletion<std::vector<ReceivedMsgs>> completion);
  /// The most pages `wholeInbox` reads before it gives up with a `MalformedAnswer`: a service
  /// that never sends an empty page must not keep the read going for ever.
  static constexpr std::int64_t kMostInboxPages = 10000;
  /// `GetCredit`: the account's credit.
  /// @param completion receives the credit, or why there is none
  void credit(OutcomeCompletion<Credit> completion);
  /// `GetPrices`: the account's prices and text-length rules.
  /// @param completion receives the prices, or why there are none
  void prices(OutcomeCompletion<Prices> completion);
  /// `ShowWhiteList`: whether each number is in the white list.
  /// @param numbers the numbers to look up
  /// @param completion receives one entry per number, or why there are none
  void whiteList(const std::vector<std::string>& numbers, OutcomeCompletion<WhiteList> completion);
  /// `AutoSendCode`: the service sends a code of its own to `number`. A positive number in the
  /// answer is the message's id; any other number is the service's refusal, handed on as
  /// `FailureKind::ServiceRefused` with `Failure::rawCode` and no name (see
  /// @ref verification_codes).
  /// @param number the number to send the code to
  /// @param footer the text below the code
  /// @param completion receives the message's id, or why there is none
  void sendCode(const std::string& number, const std::string& footer,
                OutcomeCompletion<CodeSent> completion);
  /// `CheckSendCode`: whether `code` is the code sent to `number`. `CodeCheck::matches` false
  /// is the service's verdict, not a failure (@ref verification_codes).
  /// @param number the number the code was sent to
  /// @param code the code the user typed
  /// @param completion receives the verdict, or why there is none
  void checkCode(const std::string& number, const std::string& code,
                 OutcomeCompletion<CodeCheck> completion);
  /// `SendMessageWithCode`: the service sends `code` to `number`; the answer is read as by
  /// `sendCode`.
  /// @param number the number to send the code to
  /// @param code the code to send
  /// @param completion receives the message's id, or why there is none
  void sendWithCode(const std::string& number, const std::string& code,
                    OutcomeCompletion<CodeSent> completion);
  /// @}

  /// Waits until every call made through this client so far, refused ones included, has
  /// completed (its completion has returned), or until `timeout` has passed; returns how many
  /// calls are still running then (0: all done). Calls made meanwhile, from any thread or from a
  /// completion, count too. Any thread.
  ///
  /// Called inside a completion (of any client, on any executor) or on the completion thread of
  /// this client's transport it never waits, since the completions it would wait for may need
  /// that same thread: it returns at once the number still running, the calling completion's
  /// own call included (so at least 1 inside this client's own completion).
  ///
  /// The process's exit drops calls still queued or under way, so a program that sends and
  /// quits drains first: `client.drain(std::chrono::seconds(30))` before returning from main,
  /// and a non-zero result means some calls did not end in time (their requests may still have
  /// reached the service).
  /// @param timeout the longest wait
  /// @return how many of this client's calls have not completed yet
  virtual std::size_t drain(std::chrono::milliseconds timeout);

 private:
  struct Impl;
  /// The credentials, the checked options and the JSON encoder; set once by the constructor.
  std::unique_ptr<const Impl> impl;
};

}  // namespace velmora
