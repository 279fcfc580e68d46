// velmora_pace: how fast a paced client's requests leave it and reach a loopback server.
//
//   velmora_pace [--calls N] [--rate PER_SECOND]     (defaults: 20000 calls at 500 per second)
//
// Every call is made at once; the client's queue lets them out at the set rate. Two places note
// the time of each request: the transport entrance (a thin wrapper around the shared session,
// what the client's queue controls) and the server (plain HTTP on 127.0.0.1, the
// verification-code operation; what the session and the machine add shows there). Printed for
// each: the requests in each whole second, and the rate from the first to the last.

// Without it each answer waits for the delayed ACK of its head (Nagle), some 40 ms.
#define CPPHTTPLIB_TCP_NODELAY true
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "velmora/velmora.hpp"

namespace {

using Clock = std::chrono::steady_clock;

struct Times {
  std::mutex mutex;
  std::vector<Clock::time_point> all;
  void note() {
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    all.push_back(now);
  }
};

// The shared session, noting when each request is handed to it.
class NotingTransport final : public velmora::Transport {
 public:
  explicit NotingTransport(Times& times) : times_(times) {}
  void submit(velmora::HttpRequest request,
              std::function<void(velmora::HttpResponse&)> onDone) override {
    times_.note();
    session_->submit(std::move(request), std::move(onDone));
  }
  void post(std::function<void()> task) override { session_->post(std::move(task)); }
  bool onCompletionThread() const override { return session_->onCompletionThread(); }

 private:
  Times& times_;
  std::shared_ptr<velmora::Transport> session_ = velmora::sharedTransport();
};

double argument(int argc, char** argv, const char* name, double fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return std::atof(argv[i + 1]);
  }
  return fallback;
}

// Requests per whole second since the first; the last, partial second is left out.
std::vector<std::size_t> perSecond(const std::vector<Clock::time_point>& times) {
  std::vector<std::size_t> counts;
  for (const Clock::time_point t : times) {
    const auto second = static_cast<std::size_t>(
        std::chrono::duration_cast<std::chrono::seconds>(t - times.front()).count());
    if (counts.size() <= second) counts.resize(second + 1);
    ++counts[second];
  }
  if (!counts.empty()) counts.pop_back();
  return counts;
}

void report(const char* where, std::vector<Clock::time_point> times, double rate) {
  if (times.size() < 2) {
    std::printf("%s: %zu requests\n", where, times.size());
    return;
  }
  std::sort(times.begin(), times.end());
  const std::vector<std::size_t> counts = perSecond(times);
  std::printf("%s, per second:", where);
  for (const std::size_t count : counts) std::printf(" %zu", count);
  const double span = std::chrono::duration<double>(times.back() - times.front()).count();
  const double measured = static_cast<double>(times.size() - 1) / span;
  std::printf("\n%s: %zu requests, %.2f/s over %.3f s (%+.2f %% of %.1f/s)", where, times.size(),
              measured, span, 100 * (measured / rate - 1), rate);
  if (!counts.empty()) {
    const auto [low, high] = std::minmax_element(counts.begin(), counts.end());
    std::printf("; whole seconds %zu to %zu", *low, *high);
  }
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = static_cast<int>(argument(argc, argv, "--calls", 20000));
  const double rate = argument(argc, argv, "--rate", 500);
  Times arrived;
  httplib::Server server;
  // A thread for every connection the session may open, so that none waits for a worker.
  server.new_task_queue = [] { return new httplib::ThreadPool(64); };
  server.Post("/fastsend.asmx", [&](const httplib::Request&, httplib::Response& response) {
    arrived.note();
    response.set_content("<a>true</a>", "text/xml");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { server.listen_after_bind(); });

  Times handedOn;
  velmora::Options options;
  options.soapUrl = "http://127.0.0.1:" + std::to_string(port) + "/fastsend.asmx";
  options.soapNamespace = "http://velmora.test/";
  options.maxRequestsPerSecond = rate;
  options.transport = std::make_shared<NotingTransport>(handedOn);
  options.diagnostics = [](const velmora::Diagnostic&) {};
  velmora::Velmora client("pace", "pace", options);
  std::atomic<int> succeeded{0};
  for (int i = 0; i < calls; ++i) {
    client.CheckSendCode("0912", std::to_string(i),
                         [&](std::optional<bool> value) { succeeded += value.has_value(); });
  }
  const auto limit = std::chrono::milliseconds(static_cast<long long>(calls / rate * 1000)) +
                     std::chrono::minutes(1);
  const std::size_t left = client.drain(limit);
  server.stop();
  serving.join();
  std::printf("calls %d, succeeded %d, still running %zu\n", calls, succeeded.load(), left);
  report("handed to the session", handedOn.all, rate);
  report("arrived at the server", arrived.all, rate);
  return left == 0 && succeeded.load() == calls ? 0 : 1;
}
