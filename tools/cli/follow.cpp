#include "follow.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <thread>

#include "campaign.hpp"
#include "velmora/answers.hpp"
#include "velmora/campaign.hpp"

namespace velmora::cli {
namespace {

using Clock = std::chrono::steady_clock;
using ResultPtr = std::shared_ptr<Result>;

std::size_t finalCount(const std::vector<DeliveryEntry>& entries) {
  std::size_t count = 0;
  for (const DeliveryEntry& entry : entries) count += entry.status && isFinal(*entry.status);
  return count;
}

// A Success whose payload is not what the operation answers: the service's verdict on the
// individual messages is unknown, so it ends the command as a malformed answer would.
int unreadable(const Settings& settings, const Result& result, const std::string& why) {
  printAnswer(resultJson(result), settings);
  printError("the answer cannot be read: " + why, settings);
  return kMayHaveArrived;
}

nlohmann::json messageJson(const ReceivedMsgs& message) {
  return {{"MsgBody", message.MsgBody()}, {"Mobile", message.Mobile()}, {"Dates", message.Dates()}};
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
    const auto entries = readDeliveryStates(outcome.value);
    if (!entries) {
      progress.finish();
      return unreadable(settings, *outcome.value, entries.error);
    }
    const std::size_t total = entries.value->size();
    const std::size_t done = finalCount(*entries.value);
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

namespace {

int exitStatus(campaign::FollowEnd end) {
  switch (end) {
    case campaign::FollowEnd::Unusable:
      return kUsage;
    case campaign::FollowEnd::DeliveredTwice:
      return kDeliveredTwice;
    case campaign::FollowEnd::PollRefused:
      return kRefused;
    case campaign::FollowEnd::NotFinal:
      return kIncomplete;
    case campaign::FollowEnd::Open:
      return kMayHaveArrived;
    case campaign::FollowEnd::Undelivered:
      return kRefused;
    case campaign::FollowEnd::Delivered:
      break;
  }
  return kSuccess;
}

}  // namespace

int followCampaign(Velmora& client, const Settings& settings, const std::string& journal,
                   const WaitLimits& limits, bool wait) {
  Progress progress(settings);
  campaign::FollowSettings follow;
  follow.wait = wait;
  follow.every = limits.every;
  follow.limit = limits.limit;
  follow.callWaitSeconds = settings.deadline + 30;
  follow.onNotice = [&](const std::string& line) {
    progress.finish();
    printError(line, settings);
  };
  follow.onProgress = [&](const campaign::Progress& p) { progress.show(p.done, p.total); };
  const campaign::FollowSummary s = campaign::follow(client, journal, follow);
  progress.finish();
  if (s.end == campaign::FollowEnd::Unusable) {
    printError(s.problem, settings);
    return kUsage;
  }
  printAnswer({{"batches", s.batches},
               {"followed", s.followed},
               {"notFollowed", s.notFollowed},
               {"messages", s.messages},
               {"final", s.final},
               {"delivered", s.delivered},
               {"states", s.states},
               {"deliveredTwice", s.deliveredTwice}},
              settings);
  return exitStatus(s.end);
}

int readAllPages(Velmora& client, const Settings& settings, const InboxPages& pages) {
  nlohmann::json messages = nlohmann::json::array();
  for (std::int64_t n = 0; n < pages.maxPages; ++n) {
    auto outcome = await<ResultPtr>(settings, [&](ResultCompletion done) {
      client.ReceiveMessages(pages.line, pages.start, pages.end, pages.firstPage + n,
                             std::move(done));
    });
    if (const auto stop = endIfUnsuccessful(settings, outcome)) return *stop;
    const auto page = readInboxPage(outcome.value);
    if (!page) return unreadable(settings, *outcome.value, page.error);
    if (page.value->empty()) {
      outcome.value->setPayload(std::move(messages));
      printAnswer(resultJson(*outcome.value), settings);
      return kSuccess;
    }
    for (const auto& message : *page.value) messages.push_back(messageJson(*message));
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
