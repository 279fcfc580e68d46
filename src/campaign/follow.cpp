#include <map>
#include <optional>

#include "journal.hpp"
#include "lookups.hpp"
#include "velmora/answers.hpp"

namespace velmora::campaign {
namespace {

bool isFinalEntry(const DeliveryEntry& e) {
  return e.status && isFinal(*e.status);
}

// What a message's state is called: the service's name, or its number when this version does
// not know it.
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
  bool final() const { return read() && std::all_of(entries.begin(), entries.end(), isFinalEntry); }
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

  // Polls every batch that is not final yet. Returns false at a refusal, which stops the
  // following: it would answer the same to every batch (credentials, a blocked account).
  bool poll(Velmora& client, const Lookup& lookup) {
    std::size_t failed = 0;
    std::string why;
    for (FollowedBatch& batch : followed_) {
      if (batch.final()) continue;
      using States = Outcome<std::vector<DeliveryEntry>>;
      States states = awaitCall<States>(lookup.waitSeconds,
                                        [&](OutcomeCompletion<std::vector<DeliveryEntry>> done) {
                                          client.groupStatus(batch.groupMessageId, std::move(done));
                                        });
      if (states) {
        batch.entries = std::move(states.value);
        continue;
      }
      const Failure& failure = *states.failure;
      if (failure.kind == FailureKind::ServiceRefused) {
        tell(lookup.notice, "GroupMessageStatus " + batch.groupMessageId + " was refused: " +
                                name(*failure.code) + " " + failure.serviceMessage);
        return false;
      }
      ++failed;
      why = failure.kind == FailureKind::MalformedAnswer && !failure.member.empty()
                ? "unreadable answer: " + failure.message
                : failure.message;
    }
    if (failed > 0) {
      tell(lookup.notice, std::to_string(failed) + " batches could not be polled (" + why +
                              "); their messages count as unread");
    }
    return true;
  }

  std::size_t messages() const {
    return count([](const DeliveryEntry&) { return true; });
  }
  std::size_t finalMessages() const { return count(isFinalEntry); }
  std::size_t delivered() const {
    return count([](const DeliveryEntry& e) { return e.status && isDelivered(*e.status); });
  }

  FollowSummary summary() const {
    FollowSummary out;
    out.batches = batches_;
    out.followed = followed_.size();
    out.notFollowed = notFollowed_;
    out.messages = messages();
    out.final = finalMessages();
    out.delivered = delivered();
    for (const FollowedBatch& b : followed_) {
      if (!b.read()) out.states["unread"] += b.recipients;
      for (const DeliveryEntry& e : b.entries) ++out.states[stateLabel(e)];
    }
    // Not final beats open batches, which beat what ended undelivered: each says less is known.
    const bool open = std::any_of(notFollowed_.begin(), notFollowed_.end(), [](const auto& s) {
      return s.first != stateName(BatchState::Refused);
    });
    out.end = out.final < out.messages                                ? FollowEnd::NotFinal
              : open                                                  ? FollowEnd::Open
              : out.delivered < out.messages || !notFollowed_.empty() ? FollowEnd::Undelivered
                                                                      : FollowEnd::Delivered;
    return out;
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

// Keeps each message's state in the journal, for `report`; a journal that cannot take it is
// still followed.
class DeliveryRecord {
 public:
  DeliveryRecord(const std::string& path, const Notice& notice) : notice_(notice) {
    try {
      journal_.emplace(Journal::toRecordDeliveries(path));
    } catch (const JournalError& e) {
      tell(notice_, std::string(e.what()) + "; the delivery states are not recorded");
    }
  }

  void keep(const std::vector<Delivery>& deliveries) {
    if (!journal_) return;
    try {
      journal_->recordDeliveries(deliveries);
    } catch (const JournalError& e) {
      tell(notice_, "cannot record the delivery states: " + std::string(e.what()));
      journal_.reset();
    }
  }

 private:
  const Notice& notice_;
  std::optional<Journal> journal_;
};

}  // namespace

FollowSummary follow(Velmora& client, const std::string& journal, const FollowSettings& settings) {
  JournalContents contents;
  try {
    contents = Journal::read(journal);
  } catch (const std::exception& e) {
    FollowSummary unusable;
    unusable.problem = e.what();
    return unusable;
  }
  const Lookup lookup{clockOr(settings.clock), settings.callWaitSeconds, settings.onNotice};
  CampaignDelivery delivery(contents);
  DeliveryRecord record(journal, settings.onNotice);
  // A first send recorded late, beside its resend, is the news above any delivery state.
  const std::vector<std::size_t> twice =
      deliveredTwice(client, lookup, contents.contents, contents.batches);
  const double giveUp = lookup.clock->now() + settings.limit;
  for (;;) {
    const bool answered = delivery.poll(client, lookup);
    record.keep(delivery.deliveries());
    if (settings.onProgress) settings.onProgress({delivery.finalMessages(), delivery.messages()});
    const double next = lookup.clock->now() + settings.every;
    const bool done = delivery.finalMessages() == delivery.messages();
    if (!answered || !settings.wait || done || next > giveUp) {
      FollowSummary out = delivery.summary();
      out.deliveredTwice = twice;
      if (!answered) out.end = FollowEnd::PollRefused;
      if (!twice.empty()) out.end = FollowEnd::DeliveredTwice;
      return out;
    }
    lookup.clock->sleep(settings.every);
  }
}

}  // namespace velmora::campaign
