#pragma once

// The operation tests' view of the library's scripted transport: nothing needs a socket, and
// every completion runs off the caller's thread, after the call, as with the real session.

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/lines.hpp"
#include "velmora/failure.hpp"
#include "velmora/options.hpp"
#include "velmora/testing.hpp"

namespace velmora::test {

using testing::failure;
using testing::reply;

/// The library's scripted transport as the operation tests use it: credentials recorded, and
/// the requests as the client made them.
class ScriptedTransport {
 public:
  ScriptedTransport() { shared->keepCredentials(); }

  /// Every request from now on gets `response`.
  void answer(HttpResponse response) { shared->answerAll(std::move(response)); }
  void answer(long status, std::string body) { answer(reply(status, std::move(body))); }

  /// The requests submitted so far, in order.
  std::vector<HttpRequest> requests() const {
    std::vector<HttpRequest> all;
    for (testing::RecordedRequest& r : shared->requests()) all.push_back(std::move(r.request));
    return all;
  }
  /// Waits until everything submitted or posted so far has run.
  void drain() { shared->drain(); }
  bool onCompletionThread() const { return shared->onCompletionThread(); }

  const std::shared_ptr<testing::ScriptedTransport> shared =
      std::make_shared<testing::ScriptedTransport>();
};

/// Options that send through `transport` to "https://rest.test" and
/// "http://soap.test/fastsend.asmx" (namespace "http://velmora.test/"), printing to `printed`.
inline Options scriptedOptions(const ScriptedTransport& transport, const Diagnostics& printed) {
  Options o;
  o.transport = transport.shared;
  o.restBaseUrl = "https://rest.test";
  o.soapUrl = "http://soap.test/fastsend.asmx";
  o.soapNamespace = "http://velmora.test/";
  o.diagnostics = printed.sink();
  return o;
}

/// How one operation completed.
template <class Value>
struct Completion {
  Value value{};
  int calls = 0;
  bool onCompletionThread = false;
  bool afterTheCallReturned = false;  ///< false also when it ran inside the call
  std::optional<Failure> failure;     ///< a copy of currentFailure() in the completion
};

/// Runs `start(completion)` while holding a lock that the completion takes too, waits for the
/// completion and for everything queued after it, and reports how it went. A completion run
/// inside the call sees the call unfinished (the lock is recursive, so it does not hang).
template <class Value, class Start>
Completion<Value> runOnce(ScriptedTransport& transport, Start start) {
  struct Shared {
    std::recursive_mutex callLock;
    bool returned = false;
    std::promise<void> first;
    Completion<Value> seen;
  };
  auto shared = std::make_shared<Shared>();
  {
    std::lock_guard<std::recursive_mutex> hold(shared->callLock);
    start(std::function<void(Value)>([shared, &transport](Value value) {
      std::lock_guard<std::recursive_mutex> lock(shared->callLock);
      Completion<Value>& seen = shared->seen;
      if (++seen.calls > 1) return;
      seen.value = std::move(value);
      seen.onCompletionThread = transport.onCompletionThread();
      seen.afterTheCallReturned = shared->returned;
      if (const Failure* failure = currentFailure()) seen.failure = *failure;
      shared->first.set_value();
    }));
    shared->returned = true;
  }
  if (shared->first.get_future().wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    return shared->seen;  // calls == 0
  }
  transport.drain();  // a second completion would be queued by now
  std::lock_guard<std::recursive_mutex> lock(shared->callLock);
  return shared->seen;
}

}  // namespace velmora::test
