#include "transport/session.hpp"

#include <atomic>
#include <functional>
#include <thread>
#include <utility>

#include "transport/private/libcurl_lines.hpp"
#include "transport/private/session_impl.hpp"

// Session::shared(), Session::impl() and the exit handling: private/process_lifetime.cpp.

namespace velmora::detail {

Session::Impl::Impl() {
  brokenReason = loop.start();
}

void Session::Impl::submit(Pending work) {
  if (!brokenReason.empty()) {
    Completion failed{std::move(work.onDone), {}, {}, false};
    failed.response.failed = true;
    failed.response.error = brokenReason;
    failed.response.requestMayHaveArrived = false;
    completions.push(std::move(failed));
    return;
  }
  loop.submit(std::move(work));
}

void Session::Impl::post(std::function<void()> task) {
  completions.push(Completion{{}, {}, std::move(task)});
}

void Session::Impl::runAt(Clock::time_point when, std::function<void()> task) {
  if (brokenReason.empty()) {
    loop.at(when, std::move(task));
    return;
  }
  // No I/O thread: a thread of its own waits, so that a client's paced or retried call still
  // ends (with the reason above) when libcurl could not be started at all.
  std::thread([this, when, task = std::move(task)]() mutable {
    std::this_thread::sleep_until(when);
    completions.push(Completion{{}, {}, std::move(task), false});
  }).detach();
}

bool Session::Impl::onCompletionThread() const {
  return completions.onThread();
}

void Session::submit(HttpRequest request, std::function<void(HttpResponse&)> onDone) {
  submit(std::move(request), std::move(onDone), Delivery::CompletionThread);
}

void Session::submit(HttpRequest request, std::function<void(HttpResponse&)> onDone,
                     Delivery delivery) {
  Pending work;
  work.direct = delivery == Delivery::IoThread;
  work.originKey = originKeyOf(request);
  work.request = std::move(request);
  work.onDone = std::move(onDone);
  impl().submit(std::move(work));
}

void Session::post(std::function<void()> task) {
  impl().post(std::move(task));
}

void Session::runAt(std::chrono::steady_clock::time_point when, std::function<void()> task) {
  impl().runAt(when, std::move(task));
}

bool Session::onCompletionThread() const {
  return impl().onCompletionThread();
}

const std::string& Session::http2Withheld() {
  return libcurlDialect().http2Withheld;
}

}  // namespace velmora::detail

namespace velmora {

Transport::~Transport() = default;

std::shared_ptr<Transport> sharedTransport() {
  // The session is never destroyed, so the pointer owns nothing.
  return std::shared_ptr<Transport>(std::shared_ptr<Transport>(), &detail::Session::shared());
}

}  // namespace velmora
