#include "transport/session.hpp"

#include <atomic>
#include <functional>
#include <utility>

#include "transport/private/session_impl.hpp"

// Session::shared(), Session::impl() and the exit handling: private/process_lifetime.cpp.

namespace velmora::detail {

Session::Impl::Impl() {
  brokenReason = loop.start();
}

void Session::Impl::submit(Pending work) {
  if (!brokenReason.empty()) {
    Completion failed{std::move(work.onDone), {}, {}};
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

bool Session::Impl::onCompletionThread() const {
  return completions.onThread();
}

void Session::submit(HttpRequest request, std::function<void(HttpResponse&)> onDone) {
  Pending work;
  work.deadlineAt = clampedDeadline(Clock::now(), request.deadline);
  work.originKey = originKeyOf(request);
  work.request = std::move(request);
  work.onDone = std::move(onDone);
  impl().submit(std::move(work));
}

void Session::post(std::function<void()> task) {
  impl().post(std::move(task));
}

bool Session::onCompletionThread() const {
  return impl().onCompletionThread();
}

}  // namespace velmora::detail

namespace velmora::detail {
namespace {
std::atomic<Transport*> replacementTransport{nullptr};
}  // namespace

Transport& transport() {
  Transport* replacement = replacementTransport.load(std::memory_order_acquire);
  return replacement != nullptr ? *replacement : Session::shared();
}

void setTransport(Transport* replacement) {
  replacementTransport.store(replacement, std::memory_order_release);
}

}  // namespace velmora::detail
