#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Helpers of the suites that run the real session: printed lines, waiting for completions.

namespace velmora::test {

/// Collects the library's printed lines while alive (instead of standard output).
class LineCapture {
 public:
  LineCapture();
  ~LineCapture();
  std::vector<std::string> lines() const;
  /// Lines equal to `line`.
  std::size_t count(const std::string& line) const;
  void clear();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

/// Waits for completions that arrive on the session thread.
/// `expect(n)` then `wait()`: true once `n` completions have called `done()` within the limit.
class Latch {
 public:
  explicit Latch(std::size_t expected = 1) : expected_(expected) {}
  void done();
  bool wait(std::chrono::milliseconds limit = std::chrono::seconds(15));
  std::size_t count() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::size_t expected_;
  std::size_t count_ = 0;
};

}  // namespace velmora::test
