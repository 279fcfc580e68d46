#pragma once

/// @file
/// A transport for testing application code without a network: the client builds every request
/// exactly as it would for the service, and a script answers it.
///
/// It lives in a library of its own, so that a production binary carries no test double: link
/// `Velmora::testing` (`find_package(Velmora REQUIRED COMPONENTS testing)`) or use
/// `pkg-config velmora-testing`.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "velmora/failure.hpp"
#include "velmora/testing_export.h"
#include "velmora/transport.hpp"

namespace velmora::testing {

/// A complete answer: `status` with `body` (a JSON document or a SOAP envelope).
/// @param status the HTTP status
/// @param body the answer's body
/// @return the response to script
VELMORA_TESTING_EXPORT HttpResponse reply(long status, std::string body);

/// An exchange that ended without an answer, as the libcurl session reports one: `kind`,
/// whether the request may have reached the service, and the reason printed after "error".
/// @param kind what went wrong
/// @param requestMayHaveArrived false only for a failure before any request byte was written
/// @param reason the reason, as the session would print it
/// @return the failed exchange to script
VELMORA_TESTING_EXPORT HttpResponse failure(FailureKind kind, bool requestMayHaveArrived,
                                            std::string reason);

/// One request the client handed to the transport.
struct RecordedRequest {
  /// The operation, e.g. "SendMessage" or "AutoSendCode": the last segment of a JSON call's
  /// path, or what follows the namespace in a SOAP call's SOAPAction.
  std::string operation;
  /// The request as the client made it. The "Authorization" header (the account's credentials)
  /// is left out unless `ScriptedTransport::keepCredentials` was called; a SOAP envelope still
  /// carries them in its body.
  HttpRequest request;
};

/// A transport that answers from a script and records every request. Give it to a client with
/// `Options::transport`; share one among several clients if you like.
///
/// Completions run on the transport's own completion thread, one at a time, in the order the
/// requests came, never inside the call: as with the libcurl session, so code under test meets
/// the same threading. Any thread may call the members at any time. Destroying the transport
/// runs what it still holds first, so every completion still runs exactly once.
///
/// Each operation has at most one script: a fixed answer (`answer`), answers in turn
/// (`answerInTurn`) or a handler (`answerWith`). Setting one replaces the operation's earlier
/// script for the requests that come after; a request already received keeps the script it met.
/// Operations without a script of their own get the script for all (`answerAll`,
/// `answerAllWith`). The class is final: a handler is the way to answer in any other manner.
class VELMORA_TESTING_EXPORT ScriptedTransport final : public Transport {
 public:
  /// Computes the answer to one request; see `answerWith`.
  using Handler = std::function<HttpResponse(const RecordedRequest&)>;

  /// Until told otherwise, every request is answered `reply(200, R"({"Code":0})")`.
  ScriptedTransport();
  /// Runs every completion still queued, then lets the completion thread end. Any thread,
  /// a completion of this transport included.
  ~ScriptedTransport() override;
  ScriptedTransport(const ScriptedTransport&) = delete;
  ScriptedTransport& operator=(const ScriptedTransport&) = delete;

  /// Every request of `operation` from now on gets `response`. Any thread.
  /// @param operation the operation's name, e.g. "GetCredit"
  /// @param response what its requests get, e.g. `reply(...)` or `failure(...)`
  void answer(const std::string& operation, HttpResponse response);
  /// The requests of `operation` from now on get `responses` one each, in the order the
  /// requests come; once the list is used up, its last response answers every later request.
  /// E.g. "GroupMessageStatus" answered "InQueue", then "Sended" for good. Any thread.
  /// @param operation the operation's name
  /// @param responses what its next requests get, in turn; the transport keeps them
  /// @throws std::invalid_argument when `responses` is empty (the script is left as it was)
  void answerInTurn(const std::string& operation, std::vector<HttpResponse> responses);
  /// The requests of `operation` from now on are answered by `handler`, which sees each
  /// request as recorded (operation, URL, headers, body) and returns its answer.
  ///
  /// The handler runs on the completion thread, one call at a time, in the order the requests
  /// came, just before the request's completion; it may call any member but `drain` (and must
  /// not destroy the transport). The transport keeps it, and what it captures, until its
  /// script is replaced and the requests that met it have completed: a handler that needs the
  /// transport captures a reference or a `std::weak_ptr`, since a `std::shared_ptr` would keep
  /// the transport alive for ever. An exception it throws does not reach the library: that
  /// request is answered `failure(FailureKind::Transport, true, "...")`, the reason naming the
  /// operation and the exception's `what()`, and its completion still runs once.
  /// @param operation the operation's name
  /// @param handler computes each answer
  /// @throws std::invalid_argument when `handler` is empty (the script is left as it was)
  void answerWith(const std::string& operation, Handler handler);
  /// Every request of an operation without a script of its own gets `response`; the scripts
  /// of single operations are dropped. Any thread.
  /// @param response what those requests get
  void answerAll(HttpResponse response);
  /// Like `answerAll`, but `handler` answers; it runs as `answerWith` says. Any thread.
  /// @param handler computes each answer, `RecordedRequest::operation` saying for which
  /// @throws std::invalid_argument when `handler` is empty (the scripts are left as they were)
  void answerAllWith(Handler handler);
  /// Records the "Authorization" header too (the library's own tests check it), in the record
  /// and in what a handler sees, for the requests from now on. Any thread.
  void keepCredentials();

  /// The requests received so far, in order. Any thread.
  /// @return a copy of the record
  std::vector<RecordedRequest> requests() const;
  /// Blocks until every completion of a request received (or task posted) so far has run.
  /// Any thread but the completion thread: must not be called from a completion or a handler.
  void drain();

  /// Records `request` and queues `onDone` with the scripted answer. Any thread.
  /// @param request the request as the client made it
  /// @param onDone runs once, on the completion thread, with the scripted answer
  void submit(HttpRequest request, std::function<void(HttpResponse&)> onDone) override;
  /// Queues `task` behind the completions already queued. Any thread.
  /// @param task runs once, on the completion thread
  void post(std::function<void()> task) override;
  /// True on this transport's completion thread.
  /// @return whether the calling thread is it
  bool onCompletionThread() const override;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace velmora::testing
