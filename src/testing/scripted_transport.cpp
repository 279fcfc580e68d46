#include <condition_variable>
#include <deque>
#include <exception>
#include <future>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "velmora/testing.hpp"

namespace velmora::testing {
namespace {

constexpr std::string_view kAuthorization = "Authorization:";

// The operation a request is for: what follows the last '/' of a SOAPAction, or else of the
// URL's path.
std::string operationOf(const HttpRequest& request) {
  std::string_view from = request.url;
  for (const std::string& header : request.headers) {
    constexpr std::string_view action = "SOAPAction: ";
    if (header.compare(0, action.size(), action) == 0) from = header;
  }
  const auto slash = from.rfind('/');
  return std::string(slash == std::string_view::npos ? from : from.substr(slash + 1));
}

// A script answers with the same response each time.
ScriptedTransport::Handler always(HttpResponse response) {
  return [response = std::move(response)](const RecordedRequest&) { return response; };
}

// The handler's answer; an exception it throws becomes a failed exchange, since it must neither
// end the completion thread nor keep the request's completion from running.
HttpResponse answerFrom(const ScriptedTransport::Handler& handler, const RecordedRequest& request) {
  const std::string prefix = "the scripted handler for " + request.operation + " threw";
  try {
    return handler(request);
  } catch (const std::exception& e) {
    return failure(FailureKind::Transport, true, prefix + ": " + e.what());
  } catch (...) {
    return failure(FailureKind::Transport, true, prefix + " something that is no std::exception");
  }
}

}  // namespace

HttpResponse reply(long status, std::string body) {
  HttpResponse response;
  response.status = status;
  response.body = std::move(body);
  if (status < 200 || status > 299) response.statusLine = "HTTP/1.1 " + std::to_string(status);
  return response;
}

HttpResponse failure(FailureKind kind, bool requestMayHaveArrived, std::string reason) {
  HttpResponse response;
  response.failed = true;
  response.kind = kind;
  response.requestMayHaveArrived = requestMayHaveArrived;
  response.error = std::move(reason);
  return response;
}

// Shared with the completion thread, which may outlive the transport when the transport is
// destroyed by one of its own completions.
struct ScriptedTransport::State {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> tasks;
  std::vector<RecordedRequest> received;
  // Each script is shared with the requests that met it, so that the state a handler keeps
  // (the turn of `answerInTurn`, a user's counter) lives across its calls; the calls run one at
  // a time on the completion thread, so that state needs no lock.
  std::map<std::string, std::shared_ptr<Handler>> byOperation;
  std::shared_ptr<Handler> fallback =
      std::make_shared<Handler>(always(reply(200, R"({"Code":0})")));
  bool keepCredentials = false;
  bool stopping = false;
  std::thread::id worker;

  // Runs the queued tasks until stopped; what is still queued at the stop runs first.
  void run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      wake.wait(lock, [this] { return stopping || !tasks.empty(); });
      if (tasks.empty()) return;
      std::function<void()> task = std::move(tasks.front());
      tasks.pop_front();
      lock.unlock();
      task();
      task = nullptr;  // its captures go before the lock is taken again
      lock.lock();
    }
  }

  void queue(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(mutex);
    tasks.push_back(std::move(task));
    wake.notify_all();
  }
};

ScriptedTransport::ScriptedTransport() : state_(std::make_shared<State>()) {
  std::thread worker([state = state_] { state->run(); });
  state_->worker = worker.get_id();
  worker.detach();  // it holds the state; the destructor waits for it through `drain`
}

ScriptedTransport::~ScriptedTransport() {
  if (!onCompletionThread()) drain();
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->stopping = true;
  state_->wake.notify_all();
}

void ScriptedTransport::answer(const std::string& operation, HttpResponse response) {
  answerWith(operation, always(std::move(response)));
}

void ScriptedTransport::answerInTurn(const std::string& operation,
                                     std::vector<HttpResponse> responses) {
  if (responses.empty()) {
    throw std::invalid_argument("ScriptedTransport::answerInTurn: no response for " + operation);
  }
  answerWith(operation, [responses = std::move(responses),
                         next = std::size_t{0}](const RecordedRequest&) mutable {
    const HttpResponse& response = responses[next];
    if (next + 1 < responses.size()) ++next;
    return response;
  });
}

void ScriptedTransport::answerWith(const std::string& operation, Handler handler) {
  if (!handler) {
    throw std::invalid_argument("ScriptedTransport::answerWith: no handler for " + operation);
  }
  auto script = std::make_shared<Handler>(std::move(handler));
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->byOperation[operation] = std::move(script);
}

void ScriptedTransport::answerAll(HttpResponse response) {
  answerAllWith(always(std::move(response)));
}

void ScriptedTransport::answerAllWith(Handler handler) {
  if (!handler) throw std::invalid_argument("ScriptedTransport::answerAllWith: no handler");
  auto script = std::make_shared<Handler>(std::move(handler));
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->byOperation.clear();
  state_->fallback = std::move(script);
}

void ScriptedTransport::keepCredentials() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->keepCredentials = true;
}

std::vector<RecordedRequest> ScriptedTransport::requests() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->received;
}

void ScriptedTransport::drain() {
  std::promise<void> done;
  post([&done] { done.set_value(); });
  done.get_future().wait();
}

void ScriptedTransport::submit(HttpRequest request, std::function<void(HttpResponse&)> onDone) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  std::string operation = operationOf(request);
  const auto own = state_->byOperation.find(operation);
  std::shared_ptr<Handler> script =
      own != state_->byOperation.end() ? own->second : state_->fallback;
  RecordedRequest record{std::move(operation), std::move(request)};
  if (!state_->keepCredentials) {
    auto& headers = record.request.headers;
    for (auto it = headers.begin(); it != headers.end();) {
      it = it->compare(0, kAuthorization.size(), kAuthorization) == 0 ? headers.erase(it) : it + 1;
    }
  }
  state_->received.push_back(record);
  // The answer is computed on the completion thread, where a handler is said to run.
  state_->tasks.push_back([script = std::move(script), record = std::move(record),
                           onDone = std::move(onDone)]() mutable {
    HttpResponse response = answerFrom(*script, record);
    onDone(response);
  });
  state_->wake.notify_all();
}

void ScriptedTransport::post(std::function<void()> task) {
  state_->queue(std::move(task));
}

bool ScriptedTransport::onCompletionThread() const {
  return std::this_thread::get_id() == state_->worker;
}

}  // namespace velmora::testing
