#include "follow.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

namespace velmora::cli {
namespace {

using Clock = std::chrono::steady_clock;
using ResultPtr = std::shared_ptr<Result>;

bool isFinal(const nlohmann::json& entry) {
  const auto status = entry.find("Status");
  if (status == entry.end() || !status->is_number_integer()) return false;
  const auto code = statusCodeFromRaw(status->get<std::int64_t>());
  return code == StatusCode::Sended || code == StatusCode::Filtered ||
         code == StatusCode::NotInTelecommunication || code == StatusCode::NumberError;
}

std::size_t finalCount(const nlohmann::json& payload) {
  std::size_t count = 0;
  for (const nlohmann::json& entry : payload) count += entry.is_object() && isFinal(entry);
  return count;
}

// The progress line of --wait, rewritten in place; only on a terminal, and neither with
// --quiet nor with --verbose, whose library lines would break it.
class Progress {
 public:
  explicit Progress(const Settings& settings)
      : shown_(settings.verbosity == Verbosity::Normal && ::isatty(STDERR_FILENO) != 0) {}
  ~Progress() { finish(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void show(std::size_t done, std::size_t total) {
    if (!shown_) return;
    std::fprintf(stderr, "\rvelmora: %zu of %zu messages in a final state", done, total);
    std::fflush(stderr);
  }

  // Ends the line, so that what follows starts on a line of its own.
  void finish() {
    if (shown_) std::fputs("\n", stderr);
    shown_ = false;
  }

 private:
  bool shown_;
};

// One call; a failure or a refusal is printed and its status returned, else nothing.
std::optional<int> endIfUnsuccessful(const Settings& settings, Outcome<ResultPtr>& outcome) {
  if (outcome.failure) {
    printAnswer(nullptr, settings);
    return reportFailure(*outcome.failure, settings);
  }
  if (outcome.value->Code() != ResultCode::Success) {
    printAnswer(resultJson(*outcome.value), settings);
    return kRefused;
  }
  return std::nullopt;
}

}  // namespace

int waitForStatus(Velmora& client, const Settings& settings, const std::string& groupMessageId,
                  const WaitLimits& limits) {
  const auto giveUp = Clock::now() + toMilliseconds(limits.limit);
  Progress progress(settings);
  for (;;) {
    auto outcome = await<ResultPtr>(settings, [&](ResultCompletion done) {
      client.GroupMessageStatus(groupMessageId, std::move(done));
    });
    if (outcome.failure || outcome.value->Code() != ResultCode::Success) progress.finish();
    if (const auto stop = endIfUnsuccessful(settings, outcome)) return *stop;
    const nlohmann::json& payload = outcome.value->Payload();
    const std::size_t total = payload.is_array() ? payload.size() : 0;
    const std::size_t done = payload.is_array() ? finalCount(payload) : 0;
    progress.show(done, total);
    const auto next = Clock::now() + toMilliseconds(limits.every);
    if (done == total || next > giveUp) {
      progress.finish();
      printAnswer(resultJson(*outcome.value), settings);
      if (done == total) return kSuccess;
      printError(std::to_string(total - done) + " of " + std::to_string(total) +
                     " messages not in a final state after --limit",
                 settings);
      return kIncomplete;
    }
    std::this_thread::sleep_until(next);
  }
}

int readAllPages(Velmora& client, const Settings& settings, const InboxPages& pages) {
  nlohmann::json messages = nlohmann::json::array();
  for (std::int64_t n = 0; n < pages.maxPages; ++n) {
    auto outcome = await<ResultPtr>(settings, [&](ResultCompletion done) {
      client.ReceiveMessages(pages.line, pages.start, pages.end, pages.firstPage + n,
                             std::move(done));
    });
    if (const auto stop = endIfUnsuccessful(settings, outcome)) return *stop;
    nlohmann::json& page = outcome.value->Payload();
    if (!page.is_array() || page.empty()) {
      outcome.value->setPayload(std::move(messages));
      printAnswer(resultJson(*outcome.value), settings);
      return kSuccess;
    }
    for (nlohmann::json& message : page) messages.push_back(std::move(message));
  }
  nlohmann::json answer{{"Code", 0}, {"CodeName", "Success"}, {"Message", ""}};
  answer["Result"] = std::move(messages);
  printAnswer(answer, settings);
  printError(
      "stopped after --max-pages " + std::to_string(pages.maxPages) + " pages; more may follow",
      settings);
  return kIncomplete;
}

}  // namespace velmora::cli
