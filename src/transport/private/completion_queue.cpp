#include "transport/private/completion_queue.hpp"

namespace velmora::detail {
namespace {

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

}  // namespace

CompletionQueue::CompletionQueue() {
  thread = std::thread([this] { run(); });
  threadId = thread.get_id();
}

void CompletionQueue::push(std::vector<Completion>& batch) {
  if (batch.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (Completion& item : batch) items.push_back(std::move(item));
  }
  batch.clear();
  wake.notify_one();
}

void CompletionQueue::push(Completion item) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    items.push_back(std::move(item));
  }
  wake.notify_one();
}

void CompletionQueue::run() {
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    wake.wait(lock, [this] { return stopping || !items.empty(); });
    if (stopping) break;
    due.swap(items);
    lock.unlock();
    // A completion that called exit() is the last one to run. What is left stays unrun and
    // undestroyed: its captures' destructors must not run while the process is torn down.
    while (!due.empty() && !stopping) {
      runGuarded(due.front());
      due.pop_front();
    }
    lock.lock();
    if (stopping) break;
  }
  exited = true;
  exitedCv.notify_all();
}

bool CompletionQueue::stop(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex);
  stopping = true;
  wake.notify_all();
  if (onThread()) return false;
  if (!exitedCv.wait_for(lock, limit, [this] { return exited; })) return false;
  lock.unlock();
  thread.join();
  return true;
}

}  // namespace velmora::detail
