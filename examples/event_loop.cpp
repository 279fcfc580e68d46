// Completions delivered where the application wants them. The program has an event loop of its
// own (one thread, a queue of tasks): every completion of the sending client is posted to it, so
// the program's state is touched by that thread alone and needs no lock. A second client reads
// the credit with the inline executor: its completion runs on the library's I/O thread, so it
// must not block; it only hands the value to the loop.
// Usage: event_loop FROM_LINE [COUNT]     (account: VELMORA_USER, VELMORA_PASSWORD)

#include <velmora/velmora.hpp>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "environment.hpp"

namespace {

constexpr int kInFlight = 8;

// The application's loop: any thread may post; run() executes the tasks in order on the thread
// that called it, until stop().
class EventLoop {
 public:
  void post(std::function<void()> task) {
    const std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
    ready_.notify_one();
  }
  void run() {
    for (;;) {
      std::unique_lock<std::mutex> lock(mutex_);
      ready_.wait(lock, [this] { return !tasks_.empty() || stopped_; });
      if (tasks_.empty()) return;
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
    }
  }
  void stop() {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    ready_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> tasks_;
  bool stopped_ = false;
};

// The sends and their outcomes; touched only on the loop's thread.
struct Sends {
  std::string from;
  int count = 0;
  int started = 0;
  int sent = 0;
  int failed = 0;
  int offLoop = 0;  // completions that ran anywhere but the loop's thread (there should be none)
  std::thread::id loopThread;
};

void startNext(velmora::Velmora& client, Sends& sends, EventLoop& loop) {
  const int index = sends.started++;
  velmora::SendRequest request;
  request.from = sends.from;
  request.text = "Your table is ready";
  request.to = {"0912" + std::to_string(2000000 + index)};
  client.send(request, [&](velmora::Outcome<velmora::SendReceipt> outcome) {
    if (std::this_thread::get_id() != sends.loopThread) ++sends.offLoop;
    if (outcome) {
      ++sends.sent;
    } else {
      ++sends.failed;
      std::cerr << "send: " << describe(*outcome.failure) << '\n';
    }
    if (sends.started < sends.count) startNext(client, sends, loop);
    if (sends.sent + sends.failed == sends.count) loop.stop();
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: event_loop FROM_LINE [COUNT]\n";
    return 64;
  }
  EventLoop loop;
  Sends sends;
  sends.from = argv[1];
  sends.count = argc > 2 ? std::atoi(argv[2]) : 200;
  sends.loopThread = std::this_thread::get_id();  // run() below is called on this thread
  if (sends.count <= 0) return 64;

  velmora::Options options = optionsFromEnvironment();
  options.diagnostics = [](const velmora::Diagnostic&) {};  // the outcomes say enough here
  options.executor = [&loop](std::function<void()> task) { loop.post(std::move(task)); };
  velmora::Velmora sender(fromEnvironment("VELMORA_USER"), fromEnvironment("VELMORA_PASSWORD"),
                          options);

  options.executor = velmora::inlineExecutor();
  velmora::Velmora reader(fromEnvironment("VELMORA_USER"), fromEnvironment("VELMORA_PASSWORD"),
                          options);
  std::int64_t credit = -1;
  reader.credit([&](velmora::Outcome<velmora::Credit> outcome) {
    // On the I/O thread: hand the value over and return at once.
    const std::int64_t amount = outcome ? outcome.value.amount : -1;
    loop.post([&credit, amount] { credit = amount; });
  });

  loop.post([&] {
    for (int i = 0; i < kInFlight && sends.started < sends.count; ++i) {
      startNext(sender, sends, loop);
    }
  });
  loop.run();
  // Every send has completed; the credit's completion may still be on its way to the loop.
  reader.drain(std::chrono::seconds(30));
  loop.run();

  std::cout << "credit before the sends: " << credit << '\n';
  std::cout << "sent " << sends.sent << ", failed " << sends.failed << ", completions off the loop "
            << sends.offLoop << '\n';
  return sends.failed == 0 && sends.offLoop == 0 && credit >= 0 ? 0 : 1;
}
