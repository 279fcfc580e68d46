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

  const std::optional<std::int64_t> sent =
      velmora::toFuture<std::optional<std::int64_t>>([&](velmora::NumberCompletion done) {
        client.AutoSendCode(number, "Velmora example", std::move(done));
      }).get();
  if (!sent || *sent < 0) {
    std::cerr << "the code could not be sent\n";
    return 2;
  }

  std::cerr << "code sent to " << number << "; type it: ";
  std::string typed;
  std::getline(std::cin, typed);
  const std::optional<bool> valid =
      velmora::toFuture<std::optional<bool>>([&](velmora::TruthCompletion done) {
        client.CheckSendCode(number, typed, std::move(done));
      }).get();
  if (!valid) {
    std::cerr << "the check failed\n";
    return 2;
  }
  std::cerr << (*valid ? "the code is right\n" : "the code is wrong\n");
  return *valid ? 0 : 1;
}
