// Sends a text to a few numbers, then polls the send's delivery states until every message is in
// a final state (or a limit of polls is reached). The typed operations read the payloads.
// Usage: delivery_status FROM_LINE NUMBER...     (account: VELMORA_USER, VELMORA_PASSWORD)

#include <velmora/future.hpp>
#include <velmora/velmora.hpp>

#include <chrono>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "environment.hpp"

namespace {

constexpr auto kPollEvery = std::chrono::milliseconds(500);
constexpr int kMaxPolls = 240;

// Counts the entries by state; returns how many are not final yet.
std::size_t printTally(int poll, const std::vector<velmora::DeliveryEntry>& entries) {
  std::map<std::string, int> tally;
  std::size_t pending = 0;
  for (const velmora::DeliveryEntry& entry : entries) {
    ++tally[entry.status ? velmora::name(*entry.status) : std::to_string(entry.rawStatus)];
    if (!entry.status || !velmora::isFinal(*entry.status)) ++pending;
  }
  std::cout << "poll " << poll << ":";
  for (const auto& [state, count] : tally) std::cout << ' ' << state << ' ' << count;
  std::cout << '\n';
  return pending;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: delivery_status FROM_LINE NUMBER...\n";
    return 64;
  }
  velmora::Options options = optionsFromEnvironment();
  options.retry.attempts = 3;
  options.retry.reads = true;  // a poll that times out is simply asked again
  velmora::Velmora client(fromEnvironment("VELMORA_USER"), fromEnvironment("VELMORA_PASSWORD"),
                          options);
  velmora::SendRequest request;
  request.from = argv[1];
  request.text = "Your order has shipped";
  request.to.assign(argv + 2, argv + argc);
  const auto sent = velmora::toFuture(client, &velmora::Velmora::send, request).get();
  if (!sent) {
    std::cerr << "send: " << describe(*sent.failure) << '\n';
    return 1;
  }
  std::cout << "sent as " << sent.value.groupMessageId << '\n';

  for (int poll = 1; poll <= kMaxPolls; ++poll) {
    const auto states =
        velmora::toFuture(client, &velmora::Velmora::groupStatus, sent.value.groupMessageId).get();
    if (!states) {
      std::cerr << "groupStatus: " << describe(*states.failure) << '\n';
      return 1;
    }
    if (printTally(poll, states.value) == 0 && !states.value.empty()) return 0;
    std::this_thread::sleep_for(kPollEvery);
  }
  std::cerr << "not every message in a final state after " << kMaxPolls << " polls\n";
  return 2;
}
