// Has the service send a verification code to a number, asks for the code the user received,
// and checks it.
// Usage: verify_code USER PASSWORD NUMBER

#include <velmora/future.hpp>
#include <velmora/velmora.hpp>

#include <iostream>
#include <string>

#include "environment.hpp"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: verify_code USER PASSWORD NUMBER\n";
    return 64;
  }
  velmora::Velmora client(argv[1], argv[2], optionsFromEnvironment());
  const std::string number = argv[3];

  // Only a positive number is a message id: any other number the service answers is its
  // refusal, and comes back as a failure with that number in `rawCode`.
  const velmora::Outcome<velmora::CodeSent> sent =
      velmora::toFuture(client, &velmora::Velmora::sendCode, number, "Velmora example").get();
  if (!sent) {
    std::cerr << "the code could not be sent: " << describe(*sent.failure) << '\n';
    return 2;
  }
  std::cerr << "code sent to " << number << " as message " << sent.value.messageId << "; type it: ";
  std::string typed;
  std::getline(std::cin, typed);

  const velmora::Outcome<velmora::CodeCheck> check =
      velmora::toFuture(client, &velmora::Velmora::checkCode, number, typed).get();
  if (!check) {
    std::cerr << "the check failed: " << describe(*check.failure) << '\n';
    return 2;
  }
  std::cerr << (check.value.matches ? "the code is right\n" : "the code is wrong\n");
  return check.value.matches ? 0 : 1;
}
