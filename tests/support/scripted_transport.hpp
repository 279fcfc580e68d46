#pragma once

// An in-memory transport for the operation tests: records every request and answers from a
// script on its own completion thread, so that nothing needs a socket and every completion runs
// off the caller's thread, after the call, as with the real session.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/lines.hpp"
#include "transport/transport.hpp"
#include "velmora/failure.hpp"
#include "velmora/options.hpp"

namespace velmora::test {

/// An answer of the scripted transport: `status` with `body`.
inline detail::HttpResponse reply(long status, std::string body) {
  detail::HttpResponse response;
  response.status = status;
  response.body = std::move(body);
  if (status < 200 || status > 299) response.description = "HTTP/1.1 " + std::to_string(status);
  return response;
}

/// A failed exchange of the scripted transport.
inline detail::HttpResponse failedReply(FailureKind kind, bool mayHaveArrived, std::string error) {
  detail::HttpResponse response;
  response.failed = true;
  response.kind = kind;
  response.requestMayHaveArrived = mayHaveArrived;
  response.error = std::move(error);
  return response;
}

/// Takes the place of the libcurl session while alive.
class ScriptedTransport final : public detail::Transport {
 public:
  ScriptedTransport() : worker([this] { run(); }) { detail::setTransport(this); }
  ~ScriptedTransport() override {
    detail::setTransport(nullptr);
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    wake.notify_all();
    worker.join();
  }

  /// Every request from now on gets `response`.
  void answer(detail::HttpResponse response) {
    std::lock_guard<std::mutex> lock(mutex);
    script = std::move(response);
  }
  void answer(long status, std::string body) { answer(reply(status, std::move(body))); }

  /// The requests submitted so far, in order.
  std::vector<detail::HttpRequest> requests() const {
    std::lock_guard<std::mutex> lock(mutex);
    return received;
  }

  /// Waits until everything submitted or posted so far has run.
  void drain() {
    std::promise<void> done;
    post([&done] { done.set_value(); });
    done.get_future().wait();
  }

  void submit(detail::HttpRequest request,
              std::function<void(detail::HttpResponse&)> onDone) override {
    std::lock_guard<std::mutex> lock(mutex);
    received.push_back(std::move(request));
    tasks.push_back(
        [response = script, onDone = std::move(onDone)]() mutable { onDone(response); });
    wake.notify_all();
  }
  void post(std::function<void()> task) override {
    std::lock_guard<std::mutex> lock(mutex);
    tasks.push_back(std::move(task));
    wake.notify_all();
  }
  bool onCompletionThread() const override { return std::this_thread::get_id() == worker.get_id(); }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      wake.wait(lock, [this] { return stopping || !tasks.empty(); });
      if (tasks.empty()) return;
      std::function<void()> task = std::move(tasks.front());
      tasks.pop_front();
      lock.unlock();
      task();
      lock.lock();
    }
  }

  mutable std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> tasks;
  std::vector<detail::HttpRequest> received;
  detail::HttpResponse script = reply(200, R"({"Code":0})");
  bool stopping = false;
  std::thread worker;
};

/// Options whose endpoints the scripted transport sees ("https://rest.test",
/// "http://soap.test/fastsend.asmx", namespace "http://velmora.test/"), printing to `printed`.
inline Options scriptedOptions(const Diagnostics& printed) {
  Options o;
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
