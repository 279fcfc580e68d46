// Completions run one at a time, on the completion thread, in the order the exchanges ended,
// even when a completion is still running as later exchanges end.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "support/fault_server.hpp"
#include "support/lines.hpp"
#include "velmora/velmora.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;

// Holds every request until all have arrived, then answers them in `order`, one every 150 ms.
struct Conductor {
  std::vector<int> order;
  std::mutex mutex;
  std::condition_variable cv;
  std::size_t arrived = 0;
  std::size_t turn = 0;

  void play(test::FaultConnection& c) {
    const std::string request = c.readRequest();
    const auto at = request.find("m-");
    if (at == std::string::npos) return;
    const int id = std::stoi(request.substr(at + 2));
    std::unique_lock<std::mutex> lock(mutex);
    ++arrived;
    cv.notify_all();
    const auto mine =
        static_cast<std::size_t>(std::find(order.begin(), order.end(), id) - order.begin());
    cv.wait_for(lock, 20s, [&] { return arrived == order.size() && turn == mine; });
    lock.unlock();
    c.send(test::httpAnswer(200, R"({"Code":0})"));
    std::this_thread::sleep_for(150ms);
    lock.lock();
    ++turn;
    cv.notify_all();
  }
};

TEST(Completions, RunOneAtATimeInTheOrderTheExchangesEnded) {
  auto conductor = std::make_shared<Conductor>();
  conductor->order = {3, 0, 5, 1, 4, 2};
  test::FaultServer server(test::FaultServer::Tls{});
  server.setScript([conductor](test::FaultConnection& c) { conductor->play(c); });
  test::Diagnostics printed;
  Velmora client("u", "p", test::clientOptions(server.baseUrl(), server.caFile(), 30s, printed));
  std::mutex mutex;
  std::vector<int> completed;
  std::atomic<int> running{0};
  std::atomic<int> overlaps{0};
  test::Latch latch(conductor->order.size());
  for (int id = 0; id < static_cast<int>(conductor->order.size()); ++id) {
    client.GetGroupMessageId("m-" + std::to_string(id) + "-", [&, id](std::shared_ptr<Result>) {
      if (++running != 1) ++overlaps;
      // Longer than the gap between two answers: the next exchange ends meanwhile.
      std::this_thread::sleep_for(250ms);
      {
        std::lock_guard<std::mutex> lock(mutex);
        completed.push_back(id);
      }
      --running;
      latch.done();
    });
  }
  ASSERT_TRUE(latch.wait(60s));
  EXPECT_EQ(overlaps.load(), 0);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(completed, conductor->order);
}

}  // namespace
}  // namespace velmora
