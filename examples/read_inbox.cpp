// Reads every message received on a line between two points in time: the pager asks one page
// after another until the service answers an empty page. Reads are tried again after a failure
// that may pass (a time-out, a lost connection, a 5xx): repeating a read delivers nothing.
// Usage: read_inbox LINE [START END]     (Unix seconds; default: the last 24 hours)
//        (account: VELMORA_USER, VELMORA_PASSWORD)

#include <velmora/future.hpp>
#include <velmora/velmora.hpp>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>

#include "environment.hpp"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4) {
    std::cerr << "usage: read_inbox LINE [START END]\n";
    return 64;
  }
  const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
  velmora::InboxRequest request;
  request.line = argv[1];
  request.from = argc == 4 ? std::strtoll(argv[2], nullptr, 10) : now - 86400;
  request.until = argc == 4 ? std::strtoll(argv[3], nullptr, 10) : now;

  velmora::Options options = optionsFromEnvironment();
  options.retry.attempts = 3;
  options.retry.reads = true;
  velmora::Velmora client(fromEnvironment("VELMORA_USER"), fromEnvironment("VELMORA_PASSWORD"),
                          options);

  const auto inbox = velmora::toFuture(client, &velmora::Velmora::wholeInbox, request).get();
  if (!inbox) {
    std::cerr << describe(*inbox.failure) << '\n';  // the message names the page that failed
    return 1;
  }
  for (const velmora::ReceivedMsgs& m : inbox.value) {
    std::cout << m.Dates() << ' ' << m.Mobile() << ' ' << m.MsgBody() << '\n';
  }
  std::cout << inbox.value.size() << " messages\n";
  return 0;
}
