// Sends one text to many numbers. The service takes at most 1,000 recipients per call, so the
// numbers go out in batches, with a bounded number of calls under way at once. A failed call is
// sent again only when its failure says that nothing left this process: a call that may have
// reached the service may have sent its texts, and sending it again could send them twice.
// Usage: bulk_send FROM_LINE [COUNT]     (account: VELMORA_USER, VELMORA_PASSWORD)

#include <velmora/velmora.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "environment.hpp"

namespace {

constexpr std::size_t kBatchSize = 1000;  // the service's limit per call
constexpr int kMaxInFlight = 4;
constexpr int kMaxAttempts = 3;
constexpr auto kRetryPause = std::chrono::seconds(1);  // times the attempts made so far

using Clock = std::chrono::steady_clock;

struct Batch {
  std::vector<std::string> numbers;
  int attempts = 0;
  Clock::time_point notBefore;  // a retry waits a little: the cause may last a moment
};

// Hands batches to the client, at most kMaxInFlight at a time, and tallies the outcomes.
// Completions run on the library's thread: they only record and wake the sending thread.
class BulkSender {
 public:
  BulkSender(velmora::Velmora& client, std::string from, std::string text)
      : client_(client), from_(std::move(from)), text_(std::move(text)) {}

  void add(std::vector<std::string> numbers) {
    auto batch = std::make_shared<Batch>();
    batch->numbers = std::move(numbers);
    waiting_.push_back(std::move(batch));
  }

  // Sends everything and returns when every call has completed for good.
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] {
        return (!waiting_.empty() && inFlight_ < kMaxInFlight) || (waiting_.empty() && !inFlight_);
      });
      if (waiting_.empty()) return;
      std::shared_ptr<Batch> batch = waiting_.front();
      if (batch->notBefore > Clock::now()) {
        changed_.wait_until(lock, batch->notBefore);
        continue;
      }
      waiting_.pop_front();
      ++inFlight_;
      ++batch->attempts;
      lock.unlock();
      start(batch);
      lock.lock();
    }
  }

  // 0 when every number was sent, 1 when the service refused some, 2 when some are uncertain.
  int report() const {
    std::cout << "sent " << sent_ << ", refused " << refused_ << ", uncertain " << uncertain_
              << " (calls retried: " << retried_ << ")\n";
    return uncertain_ > 0 ? 2 : refused_ > 0 ? 1 : 0;
  }

 private:
  void start(const std::shared_ptr<Batch>& batch) {
    client_.SendMessage(from_, text_, batch->numbers, /*userGroupID=*/"",
                        /*SendDateInTimeStamp=*/0,
                        [this, batch](std::shared_ptr<velmora::Result> r) {
                          finished(batch, r, velmora::currentFailure());
                        });
  }

  void finished(const std::shared_ptr<Batch>& batch, const std::shared_ptr<velmora::Result>& result,
                const velmora::Failure* failure) {
    const std::size_t count = batch->numbers.size();
    std::lock_guard<std::mutex> lock(mutex_);
    --inFlight_;
    if (result && result->Code() == velmora::ResultCode::Success) {
      sent_ += count;
    } else if (result) {
      refused_ += count;
      std::cerr << "refused: " << velmora::name(result->Code()) << " " << result->Message() << "\n";
    } else if (failure && !failure->requestMayHaveArrived && batch->attempts < kMaxAttempts) {
      ++retried_;  // nothing was sent: safe to send again
      batch->notBefore = Clock::now() + kRetryPause * batch->attempts;
      waiting_.push_back(batch);
    } else {
      // No reason, or the request may have arrived: the texts may have gone out.
      uncertain_ += count;
      std::cerr << "uncertain: " << (failure ? failure->message : "no reason given") << "\n";
    }
    changed_.notify_all();
  }

  velmora::Velmora& client_;
  const std::string from_;
  const std::string text_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Batch>> waiting_;
  int inFlight_ = 0;
  std::size_t sent_ = 0;
  std::size_t refused_ = 0;
  std::size_t uncertain_ = 0;
  int retried_ = 0;
};

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
  // Every request body lists its numbers; keep those lines out and show the rest.
  options.diagnostics = [](const velmora::Diagnostic& d) {
    if (d.kind != velmora::DiagnosticKind::RequestBody) std::cerr << d.line << '\n';
  };
  velmora::Velmora client(fromEnvironment("VELMORA_USER"), fromEnvironment("VELMORA_PASSWORD"),
                          options);

  BulkSender sender(client, argv[1], "Your table is ready");
  std::vector<std::string> numbers;
  for (long i = 0; i < count; ++i) {
    std::string digits = std::to_string(i);
    numbers.push_back("0912" + std::string(7 - std::min<std::size_t>(7, digits.size()), '0') +
                      digits);
    if (numbers.size() == kBatchSize || i + 1 == count) sender.add(std::exchange(numbers, {}));
  }
  sender.run();
  return sender.report();
}
