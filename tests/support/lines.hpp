#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "velmora/diagnostics.hpp"

// Helpers of the suites that run the library: printed lines, waiting for completions.

namespace velmora::test {

/// The line that describes a scripted answer with `status` (outside 2xx) from `url`.
inline std::string describedStatus(const std::string& url, long status) {
  const std::string code = std::to_string(status);
  return "response = <HTTPResponse> { URL: " + url + " } { Status Code: " + code +
         ", Status Line: HTTP/1.1 " + code + ", Headers { } }";
}

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

/// The lines a client printed, collected through `Options::diagnostics`: put `sink()` into the
/// options of every client whose lines the test reads or keeps off its output.
class Diagnostics {
 public:
  struct Line {
    std::string operation;
    DiagnosticKind kind;
    std::string text;
  };

  /// A callable for `Options::diagnostics` that collects here; it may outlive this object.
  std::function<void(const Diagnostic&)> sink() const {
    return [state = state](const Diagnostic& d) {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->lines.push_back({std::string(d.operation), d.kind, std::string(d.line)});
    };
  }
  std::vector<Line> all() const {
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->lines;
  }
  /// The texts only.
  std::vector<std::string> lines() const {
    std::vector<std::string> texts;
    for (const Line& line : all()) texts.push_back(line.text);
    return texts;
  }
  /// Texts equal to `text`.
  std::size_t count(const std::string& text) const {
    const auto texts = lines();
    return static_cast<std::size_t>(std::count(texts.begin(), texts.end(), text));
  }
  void clear() {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->lines.clear();
  }

 private:
  struct State {
    std::mutex mutex;
    std::vector<Line> lines;
  };
  std::shared_ptr<State> state = std::make_shared<State>();
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
