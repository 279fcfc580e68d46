// Sends a text to a few numbers under a group id of the caller's choice, then polls the group's
// delivery state until no message is still on its way (or a limit of polls is reached).
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

using velmora::StatusCode;

constexpr auto kPollEvery = std::chrono::milliseconds(500);
constexpr int kMaxPolls = 240;

// One JSON operation, waited for on this thread.
template <class Start>
std::shared_ptr<velmora::Result> await(Start start) {
  return velmora::toFuture<std::shared_ptr<velmora::Result>>(start).get();
}

bool succeeded(const std::shared_ptr<velmora::Result>& result, const char* what) {
  if (result && result->Code() == velmora::ResultCode::Success) return true;
  std::cerr << what << ": " << (result ? velmora::name(result->Code()) : "the exchange failed")
            << '\n';
  return false;
}

bool onItsWay(std::int64_t raw) {
  const auto state = velmora::statusCodeFromRaw(raw);
  return state == StatusCode::InQueue || state == StatusCode::InTelecommunication;
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
  const std::string group =
      "example-" + std::to_string(std::chrono::system_clock::now().time_since_epoch().count());

  if (!succeeded(await([&](velmora::ResultCompletion done) {
                   client.SendMessage(argv[1], "Your order has shipped", numbers, group, 0,
                                      std::move(done));
                 }),
                 "SendMessage")) {
    return 1;
  }
  const auto found = await(
      [&](velmora::ResultCompletion done) { client.GetGroupMessageId(group, std::move(done)); });
  if (!succeeded(found, "GetGroupMessageId")) return 1;
  const nlohmann::json& id = found->Payload();
  const std::string groupMessageId = id.is_string() ? id.get<std::string>() : id.dump();

  for (int poll = 1; poll <= kMaxPolls; ++poll) {
    const auto states = await([&](velmora::ResultCompletion done) {
      client.GroupMessageStatus(groupMessageId, std::move(done));
    });
    if (!succeeded(states, "GroupMessageStatus")) return 1;
    std::map<std::string, int> tally;
    int pending = 0;
    for (const nlohmann::json& entry : states->Payload()) {
      const std::int64_t raw = entry.value("Status", std::int64_t{0});
      const auto state = velmora::statusCodeFromRaw(raw);
      ++tally[state ? velmora::name(*state) : std::to_string(raw)];
      pending += onItsWay(raw) ? 1 : 0;
    }
    std::cout << "poll " << poll << ":";
    for (const auto& [name, count] : tally) std::cout << ' ' << name << ' ' << count;
    std::cout << '\n';
    if (pending == 0 && !tally.empty()) return 0;
    std::this_thread::sleep_for(kPollEvery);
  }
  std::cerr << "still on its way after " << kMaxPolls << " polls\n";
  return 2;
}
