#pragma once

#include <functional>
#include <string>

#include "transport/private/completion_queue.hpp"
#include "transport/private/io_loop.hpp"
#include "transport/session.hpp"

namespace velmora::detail {

/// The session's state in one process: its completion thread and its I/O loop. Made on first
/// use and never destroyed (see private/process_lifetime.cpp).
class Session::Impl {
 public:
  Impl();

  void submit(Pending work);
  void post(std::function<void()> task);
  void runAt(Clock::time_point when, std::function<void()> task);
  bool onCompletionThread() const;

  /// Called once at process exit: the I/O loop stops between two steps and no completion starts
  /// any more, so nothing runs while the rest of the process is torn down. Queued and running
  /// requests are dropped. A completion that is running (exit() called elsewhere) gets up to a
  /// second to return; the exit never hangs on it.
  void stopAtExit();

 private:
  std::string brokenReason;  // set once, before other threads can reach the session
  CompletionQueue completions;
  IoLoop loop{completions};
};

}  // namespace velmora::detail
