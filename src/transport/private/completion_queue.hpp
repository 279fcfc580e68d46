#pragma once

#include <semaphore.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "transport/transport.hpp"

namespace velmora::detail {

/// One thing for the completion thread to run: a finished exchange's completion with its
/// answer, or a posted task.
struct Completion {
  std::function<void(HttpResponse&)> onDone;
  HttpResponse response;
  std::function<void()> task;
  bool direct = false;  ///< runs on the I/O thread that finished it (see Session::Delivery)
};

/// Runs `item`; an exception escaping it is dropped, so that the thread that runs it lives on.
void runGuarded(Completion& item);

/// The library's completion thread and its queue. Items run one at a time, in the order they
/// were pushed; an exception escaping one is dropped. The thread starts with the first push, so
/// a process whose clients all have executors of their own never has it. Push from any thread;
/// the queue owns an item from push until it has run.
class CompletionQueue {
 public:
  CompletionQueue();
  CompletionQueue(const CompletionQueue&) = delete;
  CompletionQueue& operator=(const CompletionQueue&) = delete;

  /// Moves every item of `batch` to the queue with one wake-up; `batch` is left empty.
  void push(std::vector<Completion>& batch);
  void push(Completion item);

  /// True on the completion thread.
  bool onThread() const { return std::this_thread::get_id() == threadId.load(); }

  /// True while the thread has items to run or runs one. Any thread; a hint, read unlocked.
  bool busy() const { return !idle.load(std::memory_order_acquire); }

  /// Runs nothing more; waits until `limit` for the item under way to return. False when it
  /// did not (the thread is then left to the process's end). On the completion thread itself
  /// (exit() called from a completion) it only asks the thread to stop.
  bool stop(std::chrono::milliseconds limit);

 private:
  void run();
  bool takeDue();
  void rouse(std::unique_lock<std::mutex>& lock);
  void startOnce();

  std::mutex mutex;
  // The thread sleeps on a semaphore, not a condition variable: waking from one leaves its
  // mutex marked as contended, which costs a futex call at every wake-up.
  sem_t ready;
  // The thread waits on `ready`, or is about to; one post is owed to it. Written under `mutex`,
  // read without it by busy().
  std::atomic<bool> idle{false};
  std::condition_variable exitedCv;
  std::deque<Completion> items;
  std::deque<Completion> due;  // taken from `items`; touched by the completion thread only
  std::atomic<bool> stopping{false};
  bool exited = false;
  std::thread thread;  // started by the first push, under `mutex`
  std::atomic<std::thread::id> threadId{};
};

}  // namespace velmora::detail
