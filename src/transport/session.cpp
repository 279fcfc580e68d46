#include "transport/session.hpp"

#include <atomic>
#include <functional>
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
