// Sends one text to many numbers. The service takes at most 1,000 recipients per call, so the
// numbers go out in batches. The client itself keeps at most four calls under way and sends a
// call again only when it provably never left this process (a call that may have reached the
// service may have sent its texts, and sending it again could send them twice). The program
// drains the client before it returns, so that no call is lost at exit.
// Usage: bulk_send FROM_LINE [COUNT]     (account: VELMORA_USER, VELMORA_PASSWORD)

#include <velmora/velmora.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "environment.hpp"

namespace {

constexpr std::size_t kBatchSize = 1000;  // the service's limit per call

// The outcomes, by number. Completions run on the library's thread; main reads after drain.
class Tally {
 public:
  void record(std::size_t count, const velmora::Outcome<velmora::SendReceipt>& outcome) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (outcome) {
      sent_ += count;
      return;
    }
    const velmora::Failure& failure = *outcome.failure;
    if (failure.attempts > 1) ++retriedCalls_;
    if (failure.kind == velmora::FailureKind::ServiceRefused) {
      refused_ += count;  // an answer: nothing went out
      std::cerr << "refused: " << describe(failure) << '\n';
    } else if (!failure.requestMayHaveArrived) {
      notSent_ += count;  // even after the retries; safe to send again later
    } else {
      uncertain_ += count;  // the texts may have gone out: look them up before sending again
      std::cerr << "uncertain: " << describe(failure) << '\n';
    }
  }

  // 0 when every number was sent, 1 when some were refused or not sent, 2 when some are uncertain.
  int report(std::size_t stillRunning) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::cout << "sent " << sent_ << ", refused " << refused_ << ", uncertain " << uncertain_
              << ", not sent " << notSent_ << " (calls retried: " << retriedCalls_
              << ", still running: " << stillRunning << ")\n";
    if (uncertain_ > 0 || stillRunning > 0) return 2;
    return refused_ + notSent_ > 0 ? 1 : 0;
  }

 private:
  mutable std::mutex mutex_;
  std::size_t sent_ = 0;
  std::size_t refused_ = 0;
  std::size_t uncertain_ = 0;
  std::size_t notSent_ = 0;
  int retriedCalls_ = 0;
};

std::vector<std::vector<std::string>> batchesOf(long count) {
  std::vector<std::vector<std::string>> batches(1);
  for (long i = 0; i < count; ++i) {
    if (batches.back().size() == kBatchSize) batches.emplace_back();
    std::string digits = std::to_string(i);
    batches.back().push_back(
        "0912" + std::string(7 - std::min<std::size_t>(7, digits.size()), '0') + digits);
  }
  return batches;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::cerr << "usage: bulk_send FROM_LINE [COUNT]\n";
    return 64;
  }
  const long count = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 10000;
  if (count <= 0 || count > 10000000) {
    std::cerr << "bulk_send: COUNT must be between 1 and 10000000\n";
    return 64;
  }

  velmora::Options options = optionsFromEnvironment();
  options.maxInFlight = 4;
  options.retry.attempts = 3;  // only for calls that never left: see velmora::RetryPolicy
  options.retry.firstBackoff = std::chrono::milliseconds(500);
  // Every request body lists its numbers; keep those lines out and show the rest.
  options.diagnostics = [](const velmora::Diagnostic& d) {
    if (d.kind != velmora::DiagnosticKind::RequestBody) std::cerr << d.line << '\n';
  };
  velmora::Velmora client(fromEnvironment("VELMORA_USER"), fromEnvironment("VELMORA_PASSWORD"),
                          options);

  // Shared with the completions: one may still run after main has stopped waiting.
  auto tally = std::make_shared<Tally>();
  for (std::vector<std::string>& batch : batchesOf(count)) {
    const std::size_t size = batch.size();
    velmora::SendRequest request;
    request.from = argv[1];
    request.text = "Your table is ready";
    request.to = std::move(batch);
    client.send(request, [tally, size](velmora::Outcome<velmora::SendReceipt> outcome) {
      tally->record(size, outcome);
    });
  }
  // Returning from main drops calls still under way: wait for them first.
  const std::size_t stillRunning = client.drain(std::chrono::minutes(5));
  return tally->report(stillRunning);
}
