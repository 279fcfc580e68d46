#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "text/output.hpp"

// Helpers of the suites that run the real session: printed lines, waiting for completions.

namespace velmora::test {

/// True in a ThreadSanitizer build, which slows every exchange several times over.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif
#else
inline constexpr bool kThreadSanitizer = false;
#endif

/// Collects the library's printed lines while alive (instead of standard output).
class LineCapture {
 public:
  LineCapture() {
    detail::setLineSink([state = state_](std::string_view line) {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->lines.emplace_back(line);
    });
  }
  ~LineCapture() { detail::setLineSink(nullptr); }
  LineCapture(const LineCapture&) = delete;
  LineCapture& operator=(const LineCapture&) = delete;

  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->lines;
  }
  /// Lines equal to `line`.
  std::size_t count(const std::string& line) const {
    const auto all = lines();
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), line));
  }

 private:
  struct State {
    std::mutex mutex;
    std::vector<std::string> lines;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

/// Waits for completions that arrive on the session thread: true once `expected` completions
/// have called `done()` within the limit.
class Latch {
 public:
  explicit Latch(std::size_t expected = 1) : expected_(expected) {}
  void done() {
    // Notify under the lock: the waiter may destroy the latch as soon as it sees the count.
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    cv_.notify_all();
  }
  bool wait(std::chrono::milliseconds limit = std::chrono::seconds(15)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return count_ >= expected_; });
  }
  std::size_t count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::size_t expected_;
  std::size_t count_ = 0;
};

}  // namespace velmora::test
