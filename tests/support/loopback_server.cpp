#include "support/loopback_server.hpp"

#include <algorithm>

#include "text/output.hpp"

namespace velmora::test {

struct LineCapture::State {
  mutable std::mutex mutex;
  std::vector<std::string> lines;
};

LineCapture::LineCapture() : state_(std::make_shared<State>()) {
  std::shared_ptr<State> state = state_;
  detail::setLineSink([state](std::string_view line) {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->lines.emplace_back(line);
  });
}

LineCapture::~LineCapture() {
  detail::setLineSink(nullptr);
}

std::vector<std::string> LineCapture::lines() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->lines;
}

std::size_t LineCapture::count(const std::string& line) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return static_cast<std::size_t>(std::count(state_->lines.begin(), state_->lines.end(), line));
}

void LineCapture::clear() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->lines.clear();
}

void Latch::done() {
  // Notify under the lock: the waiter may destroy the latch as soon as it sees the count.
  std::lock_guard<std::mutex> lock(mutex_);
  ++count_;
  cv_.notify_all();
}

bool Latch::wait(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, limit, [&] { return count_ >= expected_; });
}

std::size_t Latch::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

}  // namespace velmora::test
