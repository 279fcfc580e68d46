// How the session lives in the process: made on first use, dropped by a child made by fork(),
// stopped at exit.

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>

#include "transport/private/session_impl.hpp"

namespace velmora::detail {
namespace {

// How long process exit waits for the library's threads to stop.
constexpr auto kExitWait = std::chrono::seconds(1);

// The current session's state. A child made by fork() drops its parent's (whose threads it
// does not have) and makes its own on first use; the dropped one is never touched again.
std::atomic<Session::Impl*> currentImpl{nullptr};
std::mutex implCreation;

void lockCreation() {
  implCreation.lock();
}
void unlockCreation() {
  implCreation.unlock();
}
void forgetParentsSession() {
  implCreation.unlock();
  currentImpl.store(nullptr);
}

}  // namespace

Session& Session::shared() {
  // Never destroyed: the library's threads may still be finishing a step during exit.
  static Session* session = [] {
    auto* created = new Session();
    pthread_atfork(lockCreation, unlockCreation, forgetParentsSession);
    return created;
  }();
  return *session;
}

Session::Impl& Session::impl() const {
  if (Impl* impl = currentImpl.load(std::memory_order_acquire)) return *impl;
  std::lock_guard<std::mutex> lock(implCreation);
  Impl* impl = currentImpl.load(std::memory_order_relaxed);
  if (impl == nullptr) {
    impl = new Impl();
    currentImpl.store(impl, std::memory_order_release);
    // Registered after libcurl has initialised OpenSSL, so that it runs before OpenSSL's own
    // exit handler: the I/O thread ends while OpenSSL can still free that thread's state.
    static std::once_flag exitHook;
    std::call_once(exitHook, [] {
      std::atexit([] {
        if (Impl* current = currentImpl.load()) current->stopAtExit();
      });
    });
  }
  return *impl;
}

void Session::Impl::stopAtExit() {
  const auto until = Clock::now() + kExitWait;
  loop.stop(until);
  completions.stop(std::chrono::duration_cast<std::chrono::milliseconds>(
      std::max(until - Clock::now(), Clock::duration::zero())));
}

}  // namespace velmora::detail
