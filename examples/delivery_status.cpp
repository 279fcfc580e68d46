// Sends a text to a few numbers, then polls the send's delivery states until every message is in
// a final state (or a limit of polls is reached). The typed readers do the payload's reading.
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

// One JSON operation, waited for on this thread.
template <class Start>
std::shared_ptr<velmora::Result> await(Start start) {
  return velmora::toFuture<std::shared_ptr<velmora::Result>>(start).get();
}

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
  velmora::Velmora client(fromEnvironment("VELMORA_USER"), fromEnvironment("VELMORA_PASSWORD"),
                          optionsFromEnvironment());
  const std::vector<std::string> numbers(argv + 2, argv + argc);

  const auto receipt = velmora::readSendReceipt(await([&](velmora::ResultCompletion done) {
    client.SendMessage(argv[1], "Your order has shipped", numbers, "", 0, std::move(done));
  }));
  if (!receipt) {
    std::cerr << "SendMessage: " << receipt.error << '\n';
    return 1;
  }
  std::cout << "sent as " << receipt.value->groupMessageId << '\n';

  for (int poll = 1; poll <= kMaxPolls; ++poll) {
    const auto states = velmora::readDeliveryStates(await([&](velmora::ResultCompletion done) {
      client.GroupMessageStatus(receipt.value->groupMessageId, std::move(done));
    }));
    if (!states) {
      std::cerr << "GroupMessageStatus: " << states.error << '\n';
      return 1;
    }
    if (printTally(poll, *states.value) == 0 && !states.value->empty()) return 0;
    std::this_thread::sleep_for(kPollEvery);
  }
  std::cerr << "not every message in a final state after " << kMaxPolls << " polls\n";
  return 2;
}
