#include "follow.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <thread>

#include "campaign.hpp"
#include "journal.hpp"
#include "velmora/answers.hpp"

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

// What a message's state is called in the summary: the service's name, or its number when this
// version does not know it.
std::string stateLabel(const DeliveryEntry& entry) {
  return entry.status ? name(*entry.status) : std::to_string(entry.rawStatus);
}

// One sent batch of a campaign and the states its last answered poll gave.
struct FollowedBatch {
  std::size_t batch = 0;
  std::string groupMessageId;
  std::size_t recipients = 0;  // from the journal, until a poll answers
  std::vector<DeliveryEntry> entries;

  bool read() const { return !entries.empty(); }
  bool final() const { return read() && finalCount(entries) == entries.size(); }
};

// The delivery of a campaign's sent batches, polled by their group message ids.
class CampaignDelivery {
 public:
  explicit CampaignDelivery(const JournalContents& journal) : batches_(journal.batches.size()) {
    for (const BatchUpdate& b : journal.batches) {
      if (b.state == BatchState::Sent && !b.groupMessageId.empty()) {
        followed_.push_back(
            {b.batch, b.groupMessageId, journal.contents[b.batch - 1].mobiles.size(), {}});
      } else {
        // A sent batch without its id cannot be followed: it counts as open, like unknown ones.
        ++notFollowed_[std::string(stateName(b.state))];
      }
    }
  }

  // Polls every batch that is not final yet. A refusal stops the following: it would answer
  // the same to every batch (credentials, a blocked account). Returns its exit status then.
  std::optional<int> poll(Velmora& client, const Settings& settings) {
    std::size_t failed = 0;
    std::string why;
    for (FollowedBatch& batch : followed_) {
      if (batch.final()) continue;
      using States = Outcome<std::vector<DeliveryEntry>>;
      States states = await<States>(settings, [&](OutcomeCompletion<std::vector<DeliveryEntry>> d) {
        client.groupStatus(batch.groupMessageId, std::move(d));
      });
      if (states) {
        batch.entries = std::move(states.value);
        continue;
      }
      const Failure& failure = *states.failure;
      if (failure.kind == FailureKind::ServiceRefused) {
        printError("GroupMessageStatus " + batch.groupMessageId +
                       " was refused: " + name(*failure.code) + " " + failure.serviceMessage,
                   settings);
        return kRefused;
      }
      ++failed;
      why = failure.kind == FailureKind::MalformedAnswer && !failure.member.empty()
                ? "unreadable answer: " + failure.message
                : failure.message;
    }
    if (failed > 0) {
      printError(std::to_string(failed) + " batches could not be polled (" + why +
                     "); their messages count as unread",
                 settings);
    }
    return std::nullopt;
  }

  std::size_t messages() const {
    return count([](const DeliveryEntry&) { return true; });
  }
  std::size_t finalMessages() const {
    return count([](const DeliveryEntry& e) { return e.status && isFinal(*e.status); });
  }
  std::size_t delivered() const {
    return count([](const DeliveryEntry& e) { return e.status && isDelivered(*e.status); });
  }

  nlohmann::json summary() const {
    std::map<std::string, std::size_t> states;
    for (const FollowedBatch& b : followed_) {
      if (!b.read()) states["unread"] += b.recipients;
      for (const DeliveryEntry& e : b.entries) ++states[stateLabel(e)];
    }
    return {{"batches", batches_},    {"followed", followed_.size()}, {"notFollowed", notFollowed_},
            {"messages", messages()}, {"final", finalMessages()},     {"delivered", delivered()},
            {"states", states}};
  }

  // Every message's state as the last poll of its batch gave it.
  std::vector<Delivery> deliveries() const {
    std::vector<Delivery> out;
    for (const FollowedBatch& b : followed_) {
      for (const DeliveryEntry& e : b.entries) {
        out.push_back({b.batch, e.mobile, e.messageId, e.rawStatus});
      }
    }
    return out;
  }

  // Not final beats open batches, which beat what ended undelivered: each says less is known.
  int exitStatus() const {
    const std::size_t total = messages();
    if (finalMessages() < total) return kIncomplete;
    for (const auto& [state, batches] : notFollowed_) {
      if (state != stateName(BatchState::Refused)) return kMayHaveArrived;
    }
    return delivered() < total || !notFollowed_.empty() ? kRefused : kSuccess;
  }

 private:
  template <class Test>
  std::size_t count(Test test) const {
    std::size_t n = 0;
    for (const FollowedBatch& b : followed_) {
      if (!b.read()) n += b.recipients;
      for (const DeliveryEntry& e : b.entries) n += test(e);
    }
    return n;
  }

  std::size_t batches_;
  std::vector<FollowedBatch> followed_;
  std::map<std::string, std::size_t> notFollowed_;
};

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

int followCampaign(Velmora& client, const Settings& settings, const std::string& journal,
                   const WaitLimits& limits, bool wait) {
  JournalContents contents;
  try {
    contents = Journal::read(journal);
  } catch (const JournalError& e) {
    printError(e.what(), settings);
    return kUsage;
  }
  CampaignDelivery delivery(contents);
  // Each message's state goes into the journal, for "campaign report"; a journal that cannot
  // take it is still followed.
  std::optional<Journal> record;
  try {
    record.emplace(Journal::toRecordDeliveries(journal));
  } catch (const JournalError& e) {
    printError(std::string(e.what()) + "; the delivery states are not recorded", settings);
  }
  // A first send recorded late, beside its resend, is the news above any delivery state.
  const std::vector<std::size_t> twice =
      deliveredTwice(client, settings, contents.contents, contents.batches);
  const auto giveUp = Clock::now() + toMilliseconds(limits.limit);
  Progress progress(settings);
  for (;;) {
    const std::optional<int> refused = delivery.poll(client, settings);
    if (record) {
      try {
        record->recordDeliveries(delivery.deliveries());
      } catch (const JournalError& e) {
        printError("cannot record the delivery states: " + std::string(e.what()), settings);
        record.reset();
      }
    }
    progress.show(delivery.finalMessages(), delivery.messages());
    const auto next = Clock::now() + toMilliseconds(limits.every);
    const bool done = delivery.finalMessages() == delivery.messages();
    if (refused || !wait || done || next > giveUp) {
      progress.finish();
      nlohmann::json summary = delivery.summary();
      summary["deliveredTwice"] = twice;
      printAnswer(summary, settings);
      if (!twice.empty()) return kDeliveredTwice;
      return refused ? *refused : delivery.exitStatus();
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
