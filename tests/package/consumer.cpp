// Proves that an installed library links and runs: prints the version, reads UTF-8 with its free
// functions, then asks the credit of a port where nothing listens, which must complete exactly
// once, with the absent value.

#include <velmora/velmora.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

int main() {
  std::printf("%s", reinterpret_cast<const char*>(VelmoraVersionString));
  // The free functions are exported too: "é" is one two-byte sequence, a lone 0xFF none.
  if (velmora::utf8SequenceLength("\xC3\xA9") != 2 || velmora::isValidUtf8("\xFF")) {
    std::fprintf(stderr, "consumer: the UTF-8 functions read C3 A9 or FF wrongly\n");
    return 1;
  }
  velmora::Options options;
  options.restBaseUrl = "https://127.0.0.1:1";  // nothing listens on port 1
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
