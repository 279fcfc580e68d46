// Proves that an installed library links and runs: prints the version, then asks the credit of
// a port where nothing listens, which must complete exactly once, with the absent value.

#include <velmora/velmora.hpp>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>

namespace {

// A loopback port that was free a moment ago: connections to it are refused.
int closedPort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(s, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
  close(s);
  return ntohs(address.sin_port);
}

}  // namespace

int main() {
  std::printf("%s", reinterpret_cast<const char*>(VelmoraVersionString));
  velmora::Options options;
  options.restBaseUrl = "https://127.0.0.1:" + std::to_string(closedPort());
  options.timeout = std::chrono::seconds(10);
  std::atomic<int> calls{0};
  std::promise<bool> done;
  {
    velmora::Velmora client("user", "password", options);
    client.GetCredit([&](std::shared_ptr<velmora::Result> result) {
      if (calls.fetch_add(1) == 0) done.set_value(result == nullptr);
    });
  }
  auto absent = done.get_future();
  if (absent.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    std::fprintf(stderr, "consumer: the completion did not run\n");
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // room for a second call
  if (!absent.get() || calls != 1) {
    std::fprintf(stderr, "consumer: expected one completion with no result, got %d\n",
                 calls.load());
    return 1;
  }
  std::printf("consumer: one completion, no result\n");
  return 0;
}
