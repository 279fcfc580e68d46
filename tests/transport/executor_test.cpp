// Completions where the application wants them: on its own executor, one client's slow
// completion delays no other client's; inline, they run on the I/O thread; and a process whose
// clients all have executors starts only the I/O thread, timers of pacing and back-off included.
//
// The thread count is taken in a child: this test binary, started again with
// VELMORA_EXECUTOR_CHILD set, plays the child's part in a static initialiser before the tests.

#include <dirent.h>
#include <pthread.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/child_process.hpp"
#include "support/fault_server.hpp"
#include "support/lines.hpp"
#include "velmora/velmora.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;

std::string threadName() {
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

// The names of this process's threads.
std::vector<std::string> threadsOfThisProcess() {
  std::vector<std::string> names;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string name;
    std::getline(std::ifstream(task.path() / "comm"), name);
    names.push_back(name);
  }
  return names;
}

// The child: a paced client that retries, its completions inline, makes twenty calls (the first
// connection refused, so a back-off runs too) and prints the threads it gained, one a line.
[[noreturn]] void runChild(const std::string& baseUrl, const std::string& caFile) {
  // A sanitizer may start a helper thread with the process's first thread: let it come first.
  std::thread([] {}).join();
  const std::size_t before = threadsOfThisProcess().size();
  Options o = test::clientOptions(baseUrl, caFile, 10s);
  o.diagnostics = [](const Diagnostic&) {};
  o.executor = inlineExecutor();
  o.maxRequestsPerSecond = 200;
  o.retry.attempts = 3;
  o.retry.firstBackoff = 5ms;
  {
    Velmora client("u", "p", o);
    for (int i = 0; i < 20; ++i) client.GetCredit({});
    if (client.drain(30s) != 0) std::_Exit(3);
  }
  const std::vector<std::string> after = threadsOfThisProcess();
  if (after.size() != before + 1) std::printf("%zu threads more\n", after.size() - before);
  for (const std::string& name : after) {
    if (name.rfind("velmora-", 0) == 0) std::printf("%s\n", name.c_str());
  }
  std::fflush(stdout);
  std::_Exit(0);
}

const bool kIsChild = [] {
  if (std::getenv("VELMORA_EXECUTOR_CHILD") != nullptr) {
    runChild(std::getenv("VELMORA_EXECUTOR_CHILD_URL"), std::getenv("VELMORA_EXECUTOR_CHILD_CA"));
  }
  return false;
}();

TEST(Executor, ProcessWithExecutorsOnlyRunsTheIoThreadAlone) {
  test::FaultServer server(test::FaultServer::Tls{});
  // Owned by the script, which the server's threads may still run while the test ends.
  server.setScript(
      [connection = std::make_shared<std::atomic<int>>(0),
       answer = test::answerEach(R"({"Code":0,"Result":{"Credit":1}})")](test::FaultConnection& c) {
        if ((*connection)++ == 0) return;  // closed before the handshake: provably never sent
        answer(c);
      });
  test::ChildProcess child(
      {std::filesystem::read_symlink("/proc/self/exe").string()},
      {"VELMORA_EXECUTOR_CHILD=1", "VELMORA_EXECUTOR_CHILD_URL=" + server.baseUrl(),
       "VELMORA_EXECUTOR_CHILD_CA=" + server.caFile()});
  const test::Exit exit = child.finish();
  EXPECT_EQ(exit.status, 0) << exit.err;
  EXPECT_EQ(exit.out, "velmora-io\n");
  EXPECT_EQ(server.requests().size(), 20u);
}

// A thread of the test's own that runs what it is given, in order.
class OwnLoop {
 public:
  OwnLoop() : thread_([this] { run(); }) {}
  ~OwnLoop() {
    post({});
    thread_.join();
  }
  void post(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
    cv_.notify_one();
  }

 private:
  void run() {
    pthread_setname_np(pthread_self(), "own-loop");
    for (;;) {
      std::unique_lock<std::mutex> lock(mutex_);
      cv_.wait(lock, [this] { return !tasks_.empty(); });
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      if (!task) return;
      task();
    }
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
  std::thread thread_;
};

// Without the slow client's executor both would share the one completion thread, and the other
// client's completions would wait behind the blocked one.
TEST(Executor, ASlowClientOnItsOwnExecutorDelaysNoOther) {
  test::FaultServer server(test::FaultServer::Tls{});
  server.setScript(test::answerEach(R"({"Code":0})"));
  auto loop = std::make_shared<OwnLoop>();
  Options slowOptions = test::clientOptions(server.baseUrl(), server.caFile(), 10s);
  slowOptions.executor = [loop](std::function<void()> task) { loop->post(std::move(task)); };
  Velmora slow("u", "p", slowOptions);
  Velmora other("u", "p", test::clientOptions(server.baseUrl(), server.caFile(), 10s));
  test::Latch slowRunning(1);
  test::Latch release(1);
  std::string slowThread;
  slow.GetCredit([&](std::shared_ptr<Result>) {
    slowThread = threadName();
    slowRunning.done();
    release.wait(20s);
  });
  ASSERT_TRUE(slowRunning.wait(10s));
  test::Latch otherDone(5);
  for (int i = 0; i < 5; ++i) other.GetCredit([&](std::shared_ptr<Result>) { otherDone.done(); });
  EXPECT_TRUE(otherDone.wait(10s));
  release.done();
  EXPECT_EQ(slow.drain(10s), 0u);
  EXPECT_EQ(other.drain(10s), 0u);
  EXPECT_EQ(slowThread, "own-loop");
}

// Each call made from the completion before it: all on the I/O thread, each completing once.
TEST(Executor, InlineRunsCompletionsOnTheIoThread) {
  test::FaultServer server(test::FaultServer::Tls{});
  server.setScript(test::answerEach(R"({"Code":0})"));
  Options o = test::clientOptions(server.baseUrl(), server.caFile(), 10s);
  o.executor = inlineExecutor();
  Velmora client("u", "p", o);
  std::vector<std::string> threads;
  test::Latch ended(1);
  std::function<void(std::shared_ptr<Result>)> next = [&](std::shared_ptr<Result> r) {
    EXPECT_NE(r, nullptr);
    threads.push_back(threadName());
    if (threads.size() == 20) {
      ended.done();
      return;
    }
    client.GetCredit(next);
  };
  client.GetCredit(next);
  ASSERT_TRUE(ended.wait(20s));
  EXPECT_EQ(client.drain(10s), 0u);
  EXPECT_EQ(threads, std::vector<std::string>(20, "velmora-io"));
  EXPECT_EQ(server.requests().size(), 20u);
}

}  // namespace
}  // namespace velmora
