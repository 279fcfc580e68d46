// Sends one text to one or more numbers and waits for the service's answer.
// Usage: send_message USER PASSWORD FROM_LINE TEXT NUMBER...

#include <velmora/future.hpp>
#include <velmora/velmora.hpp>

#include <iostream>
#include <vector>

#include "environment.hpp"

int main(int argc, char** argv) {
  if (argc < 6) {
    std::cerr << "usage: send_message USER PASSWORD FROM_LINE TEXT NUMBER...\n";
    return 64;
  }
  velmora::Velmora client(argv[1], argv[2], optionsFromEnvironment());
  const std::vector<std::string> numbers(argv + 5, argv + argc);

  // The completion runs on the library's thread; the future brings the answer back here.
  velmora::ResultFuture answer =
      velmora::toFuture<std::shared_ptr<velmora::Result>>([&](velmora::ResultCompletion done) {
        client.SendMessage(argv[3], argv[4], numbers, /*userGroupID=*/"",
                           /*SendDateInTimeStamp=*/0, std::move(done));
      });
  const std::shared_ptr<velmora::Result> result = answer.get();
  const auto receipt = velmora::readSendReceipt(result);
  if (!receipt) {
    std::cerr << "not sent: " << receipt.error << '\n';
    return result ? 1 : 2;  // refused by the service, or the exchange failed
  }
  std::cout << "group message id " << receipt.value->groupMessageId << ", "
            << receipt.value->messageIds.size() << " messages\n";
  return 0;
}
