// Reads every message received on a line between two points in time, one page after another,
// until the service answers an empty page.
// Usage: read_inbox LINE [START END]     (Unix seconds; default: the last 24 hours)
//        (account: VELMORA_USER, VELMORA_PASSWORD)

#include <velmora/velmora.hpp>

#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <string>

#include "environment.hpp"

namespace {

constexpr std::int64_t kMaxPages = 10000;  // a bound, should the service never run dry

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4) {
    std::cerr << "usage: read_inbox LINE [START END]\n";
    return 64;
  }
  const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
  const std::int64_t start = argc == 4 ? std::strtoll(argv[2], nullptr, 10) : now - 86400;
  const std::int64_t end = argc == 4 ? std::strtoll(argv[3], nullptr, 10) : now;
  velmora::Velmora client(fromEnvironment("VELMORA_USER"), fromEnvironment("VELMORA_PASSWORD"),
                          optionsFromEnvironment());

  std::int64_t messages = 0;
  for (std::int64_t page = 1; page <= kMaxPages; ++page) {
    // Plain callback form: the completion hands its value to this thread through a promise.
    std::promise<std::shared_ptr<velmora::Result>> answer;
    client.ReceiveMessages(argv[1], start, end, page, [&](std::shared_ptr<velmora::Result> r) {
      answer.set_value(std::move(r));
    });
    const auto received = velmora::readInboxPage(answer.get_future().get());
    if (!received) {
      std::cerr << "page " << page << ": " << received.error << '\n';
      return 1;
    }
    if (received.value->empty()) {
      std::cout << messages << " messages on " << page - 1 << " pages\n";
      return 0;
    }
    for (const auto& m : *received.value) {
      std::cout << m->Dates() << ' ' << m->Mobile() << ' ' << m->MsgBody() << '\n';
      ++messages;
    }
  }
  std::cerr << "more than " << kMaxPages << " pages\n";
  return 2;
}
