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
  velmora::SendRequest request;
  request.from = argv[3];
  request.text = argv[4];
  request.to.assign(argv + 5, argv + argc);

  // The completion runs on the library's thread; the future brings its Outcome back here, the
  // reason of a failure included.
  const velmora::Outcome<velmora::SendReceipt> sent =
      velmora::toFuture(client, &velmora::Velmora::send, request).get();
  if (!sent) {
    std::cerr << "not sent: " << describe(*sent.failure) << '\n';
    // Refused by the service: nothing went out. Otherwise the texts may have gone out.
    return sent.failure->kind == velmora::FailureKind::ServiceRefused ? 1 : 2;
  }
  std::cout << "group message id " << sent.value.groupMessageId << ", "
            << sent.value.messageIds.size() << " messages\n";
  return 0;
}
