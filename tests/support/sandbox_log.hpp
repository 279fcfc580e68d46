#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::test {

/// Collects a sandbox's request log lines; shared with the sandbox's log function, so it may
/// outlive either side. The sandbox logs a request after its answer has gone out, so a client
/// may see the answer before the line exists: the readers wait for what they look for.
class SandboxLog {
 public:
  /// The function to give the sandbox as its log.
  std::function<void(std::string_view)> sink() {
    return [state = state_](std::string_view line) {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->lines.emplace_back(line);
      state->added.notify_all();
    };
  }

  void clear() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->lines.clear();
  }

  /// The lines once there are at least `count`, or all there are after `limit`.
  std::vector<std::string> waitForLines(std::size_t count,
                                        std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->added.wait_for(lock, limit, [&] { return state_->lines.size() >= count; });
    return state_->lines;
  }

  /// The last verification code logged as sent to `number` among the first `count` lines
  /// (waiting for them), or "".
  std::string codeSentTo(const std::string& number, std::size_t count) {
    const std::string marker = number + ": sent code ";
    std::string code;
    for (const std::string& line : waitForLines(count)) {
      const auto at = line.find(marker);
      if (at == std::string::npos) continue;
      const auto start = at + marker.size();
      code = line.substr(start, line.find(' ', start) - start);
    }
    return code;
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable added;
    std::vector<std::string> lines;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace velmora::test
