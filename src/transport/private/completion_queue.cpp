#include "transport/private/completion_queue.hpp"

#include <pthread.h>

#include <cerrno>

namespace velmora::detail {

void runGuarded(Completion& item) {
  try {
    if (item.task) {
      item.task();
    } else {
      item.onDone(item.response);
    }
  } catch (...) {
    // The library's own callables report their exceptions themselves; one from a foreign
    // callable is dropped so that the thread that runs every other completion lives on.
  }
}

CompletionQueue::CompletionQueue() {
  sem_init(&ready, 0, 0);
}

// Under `mutex`.
void CompletionQueue::startOnce() {
  if (thread.joinable() || stopping) return;
  thread = std::thread([this] { run(); });
  threadId.store(thread.get_id());
}

void CompletionQueue::push(std::vector<Completion>& batch) {
  if (batch.empty()) return;
  std::unique_lock<std::mutex> lock(mutex);
  startOnce();
  for (Completion& item : batch) items.push_back(std::move(item));
  rouse(lock);
  batch.clear();
}

void CompletionQueue::push(Completion item) {
  std::unique_lock<std::mutex> lock(mutex);
  startOnce();
  items.push_back(std::move(item));
  rouse(lock);
}

// Posts only to a thread that waits: one system call per batch, none while it is busy.
void CompletionQueue::rouse(std::unique_lock<std::mutex>& lock) {
  const bool wasIdle = idle.exchange(false, std::memory_order_acq_rel);
  lock.unlock();
  if (wasIdle) sem_post(&ready);
}

// Moves what is queued to `due`; false when nothing is (the thread then counts as idle) or
// the queue stops.
bool CompletionQueue::takeDue() {
  std::lock_guard<std::mutex> lock(mutex);
  if (stopping) return false;
  if (items.empty()) {
    idle.store(true, std::memory_order_release);
    return false;
  }
  due.swap(items);
  return true;
}

void CompletionQueue::run() {
  pthread_setname_np(pthread_self(), "velmora-done");
  while (!stopping) {
    if (!takeDue()) {
      if (!stopping) {
        while (sem_wait(&ready) != 0 && errno == EINTR) {
        }
      }
      continue;
    }
    // A completion that called exit() is the last one to run. What is left stays unrun and
    // undestroyed: its captures' destructors must not run while the process is torn down.
    while (!due.empty() && !stopping) {
      runGuarded(due.front());
      due.pop_front();
    }
  }
  std::lock_guard<std::mutex> lock(mutex);
  exited = true;
  exitedCv.notify_all();
}

bool CompletionQueue::stop(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex);
  stopping = true;
  if (!thread.joinable()) return true;  // never started
  if (idle.exchange(false, std::memory_order_acq_rel)) sem_post(&ready);
  if (onThread()) return false;
  if (!exitedCv.wait_for(lock, limit, [this] { return exited; })) return false;
  lock.unlock();
  thread.join();
  return true;
}

}  // namespace velmora::detail
