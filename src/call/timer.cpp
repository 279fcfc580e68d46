#include "call/timer.hpp"

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <queue>
#include <thread>
#include <utility>
#include <vector>

namespace velmora::detail {
namespace {

struct Entry {
  SteadyClock::time_point when;
  unsigned long long order;  // equal times run in the order they were set
  std::function<void()> task;
  bool operator>(const Entry& other) const {
    return when != other.when ? when > other.when : order > other.order;
  }
};

// One thread and its queue of tasks. Never destroyed: a thread that outlives main() must not
// meet a destroyed mutex, and the process's exit drops what is still pending.
class Timer {
 public:
  Timer() : owner(::getpid()) {}

  const pid_t owner;  ///< the process whose thread runs the tasks

  void add(SteadyClock::time_point when, std::function<void()> task) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_) {
      std::thread([this] { run(); }).detach();
      started_ = true;
    }
    const bool sooner = entries_.empty() || when < entries_.top().when;
    entries_.push({when, ++order_, std::move(task)});
    if (sooner) wake_.notify_one();
  }

 private:
  [[noreturn]] void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (entries_.empty()) {
        wake_.wait(lock);
        continue;
      }
      // A copy: while the wait has let go of the lock, a push may move the entries elsewhere.
      const SteadyClock::time_point due = entries_.top().when;
      if (SteadyClock::now() < due) {
        wake_.wait_until(lock, due);
        continue;  // look again: a sooner task may have come, or the wait ended early
      }
      std::function<void()> task = std::move(const_cast<Entry&>(entries_.top()).task);
      entries_.pop();
      lock.unlock();
      task();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> entries_;
  unsigned long long order_ = 0;
  bool started_ = false;
};

// The timer of this process: a child made by fork() has no timer thread, and its copy of the
// parent's may hold a lock forever, so it makes a new one and leaves the old one untouched.
Timer& timerOfThisProcess() {
  static std::atomic<Timer*> timer{nullptr};
  const pid_t self = ::getpid();
  Timer* current = timer.load(std::memory_order_acquire);
  while (current == nullptr || current->owner != self) {
    auto* fresh = new Timer;
    if (timer.compare_exchange_strong(current, fresh, std::memory_order_acq_rel)) return *fresh;
    delete fresh;  // another thread made one first; `current` now holds it
  }
  return *current;
}

}  // namespace

void runAt(SteadyClock::time_point when, std::function<void()> task) {
  timerOfThisProcess().add(when, std::move(task));
}

}  // namespace velmora::detail
