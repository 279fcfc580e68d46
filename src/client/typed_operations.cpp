// The typed operations: each calls its service member and reads the answer into one Outcome, so
// the value and the reason it is missing travel together, off the completion thread too.

#include <chrono>
#include <mutex>
#include <utility>

#include "call/failure_scope.hpp"
#include "client/lifeline.hpp"
#include "velmora/client.hpp"

namespace velmora {
namespace {

// A completion of a JSON member that reads its Result with `read` and hands `completion` the
// value `make` builds from what was read, or the reason there is none.
template <class Value, class Read, class Make>
ResultCompletion typed(OutcomeCompletion<Value> completion, Read read, Make make) {
  if (!completion) return {};
  return [completion = std::move(completion), read, make](std::shared_ptr<Result> result) {
    auto answer = read(result);
    Outcome<Value> outcome;
    if (answer) {
      outcome.value = make(std::move(*answer.value));
    } else {
      outcome.failure = std::move(answer.failure);
    }
    completion(std::move(outcome));
  };
}

template <class Value, class Read>
ResultCompletion typed(OutcomeCompletion<Value> completion, Read read) {
  return typed(std::move(completion), read, [](Value value) { return value; });
}

// A verification-code number: positive is a message id; any other number is the service's
// refusal, handed on as it came, since what it means is the service's to say.
NumberCompletion codeSent(OutcomeCompletion<CodeSent> completion) {
  if (!completion) return {};
  return [completion = std::move(completion)](std::optional<std::int64_t> number) {
    Outcome<CodeSent> outcome;
    if (!number) {
      outcome.failure = detail::failureOfCall();
    } else if (*number <= 0) {
      Failure refusal;
      refusal.kind = FailureKind::ServiceRefused;
      refusal.rawCode = *number;
      refusal.attempts = detail::currentAttempts();
      refusal.message = "the service answered " + std::to_string(*number) +
                        " where a message id (a positive number) belongs";
      outcome.failure = std::move(refusal);
    } else {
      outcome.value.messageId = *number;
    }
    completion(std::move(outcome));
  };
}

std::int64_t unixSeconds(const std::optional<std::chrono::system_clock::time_point>& at) {
  if (!at) return 0;
  return std::chrono::floor<std::chrono::seconds>(at->time_since_epoch()).count();
}

std::vector<ReceivedMsgs> valuesOf(std::vector<std::shared_ptr<ReceivedMsgs>> messages) {
  std::vector<ReceivedMsgs> values;
  values.reserve(messages.size());
  for (auto& message : messages) values.push_back(std::move(*message));
  return values;
}

// One wholeInbox read: what came so far, and where it goes when done.
struct InboxRead {
  std::shared_ptr<detail::Lifeline> client;
  InboxRequest request;
  std::int64_t pagesRead = 0;
  std::vector<ReceivedMsgs> messages;
  OutcomeCompletion<std::vector<ReceivedMsgs>> completion;
};

void finish(InboxRead& read, std::optional<Failure> failure) {
  Outcome<std::vector<ReceivedMsgs>> outcome;
  if (failure) {
    outcome.failure = std::move(failure);
  } else {
    outcome.value = std::move(read.messages);
  }
  if (read.completion) read.completion(std::move(outcome));
}

Failure pagerFailure(FailureKind kind, std::string message) {
  Failure failure;
  failure.kind = kind;
  failure.message = std::move(message);
  failure.requestMayHaveArrived = kind != FailureKind::Shutdown;
  failure.attempts = 0;
  return failure;
}

void readNextPage(const std::shared_ptr<InboxRead>& read) {
  if (read->pagesRead == Velmora::kMostInboxPages) {
    return finish(*read, pagerFailure(FailureKind::MalformedAnswer,
                                      "the inbox did not end within " +
                                          std::to_string(Velmora::kMostInboxPages) +
                                          " pages; read it in narrower date ranges"));
  }
  const bool asked = read->client->use([&](Velmora& client) {
    client.inbox(read->request, [read](Outcome<InboxPage> page) {
      if (!page) {
        page.failure->message =
            "page " + std::to_string(read->request.page) + ": " + page.failure->message;
        return finish(*read, std::move(page.failure));
      }
      if (page.value.pastEnd()) return finish(*read, std::nullopt);
      for (auto& message : page.value.messages) read->messages.push_back(std::move(message));
      ++read->pagesRead;
      ++read->request.page;
      readNextPage(read);
    });
  });
  if (!asked) {
    finish(*read, pagerFailure(FailureKind::Shutdown, "the client was destroyed before page " +
                                                          std::to_string(read->request.page) +
                                                          " was asked"));
  }
}

}  // namespace

namespace detail {

void readWholeInbox(std::shared_ptr<Lifeline> client, const InboxRequest& request,
                    OutcomeCompletion<std::vector<ReceivedMsgs>> completion) {
  auto read = std::make_shared<InboxRead>();
  read->client = std::move(client);
  read->request = request;
  read->completion = std::move(completion);
  readNextPage(read);
}

}  // namespace detail

void Velmora::send(const SendRequest& request, OutcomeCompletion<SendReceipt> completion) {
  SendMessage(request.from, request.text, request.to, request.group, unixSeconds(request.at),
              typed(std::move(completion), readSendReceipt));
}

void Velmora::sendEach(const SendEachRequest& request, OutcomeCompletion<SendReceipt> completion) {
  SendCorrespondingMessage(request.from, request.messages, request.group,
                           typed(std::move(completion), readSendReceipt));
}

void Velmora::sendToPort(const SendToPortRequest& request,
                         OutcomeCompletion<SendReceipt> completion) {
  SendMessageToPort(request.from, request.receivePort, request.sendPort, request.group,
                    request.messages, typed(std::move(completion), readSendReceipt));
}

void Velmora::groupStatus(const std::string& groupMessageId,
                          OutcomeCompletion<std::vector<DeliveryEntry>> completion) {
  GroupMessageStatus(groupMessageId, typed(std::move(completion), readDeliveryStates));
}

void Velmora::messageStatus(const std::vector<std::string>& messageIds,
                            OutcomeCompletion<std::vector<DeliveryEntry>> completion) {
  CorrespondingMessageStatus(messageIds, typed(std::move(completion), readDeliveryStates));
}

void Velmora::groupMessageId(const std::string& group,
                             OutcomeCompletion<GroupMessageId> completion) {
  GetGroupMessageId(group, typed(std::move(completion), readGroupMessageId,
                                 [](std::string id) { return GroupMessageId{std::move(id)}; }));
}

void Velmora::inbox(const InboxRequest& request, OutcomeCompletion<InboxPage> completion) {
  ReceiveMessages(request.line, request.from, request.until, request.page,
                  typed(std::move(completion), readInboxPage,
                        [page = request.page](std::vector<std::shared_ptr<ReceivedMsgs>> read) {
                          return InboxPage{page, valuesOf(std::move(read))};
                        }));
}

void Velmora::credit(OutcomeCompletion<Credit> completion) {
  GetCredit(
      typed(std::move(completion), readCredit, [](std::int64_t amount) { return Credit{amount}; }));
}

void Velmora::prices(OutcomeCompletion<Prices> completion) {
  GetPrices(typed(std::move(completion), readPrices));
}

void Velmora::whiteList(const std::vector<std::string>& numbers,
                        OutcomeCompletion<WhiteList> completion) {
  ShowWhiteList(
      numbers, typed(std::move(completion), readWhiteList, [](std::vector<WhiteListEntry> entries) {
        return WhiteList{std::move(entries)};
      }));
}

void Velmora::sendCode(const std::string& number, const std::string& footer,
                       OutcomeCompletion<CodeSent> completion) {
  AutoSendCode(number, footer, codeSent(std::move(completion)));
}

void Velmora::checkCode(const std::string& number, const std::string& code,
                        OutcomeCompletion<CodeCheck> completion) {
  TruthCompletion verdict;
  if (completion) {
    verdict = [completion = std::move(completion)](std::optional<bool> matches) {
      Outcome<CodeCheck> outcome;
      if (matches) {
        outcome.value.matches = *matches;
      } else {
        outcome.failure = detail::failureOfCall();
      }
      completion(std::move(outcome));
    };
  }
  CheckSendCode(number, code, std::move(verdict));
}

void Velmora::sendWithCode(const std::string& number, const std::string& code,
                           OutcomeCompletion<CodeSent> completion) {
  SendMessageWithCode(number, code, codeSent(std::move(completion)));
}

}  // namespace velmora
