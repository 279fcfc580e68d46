#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <utility>

#include "journal.hpp"
#include "lookups.hpp"
#include "refusals.hpp"
#include "velmora/answers.hpp"
#include "velmora/text.hpp"

namespace velmora::campaign {
namespace {

// Eight random hex digits: enough that two campaigns of one account practically never share a
// group id, short enough to leave room for the user's prefix.
std::string newCampaignId() {
  std::random_device source;
  std::uniform_int_distribution<std::uint32_t> digits;
  static constexpr char kHex[] = "0123456789abcdef";
  std::uint32_t value = digits(source);
  std::string out(8, '0');
  for (char& c : out) {
    c = kHex[value & 0xF];
    value >>= 4;
  }
  return out;
}

std::string groupId(const std::string& prefix, const std::string& campaignId, std::size_t batch) {
  return (prefix.empty() ? "" : prefix + "-") + campaignId + "-" + std::to_string(batch);
}

// A batch that has no outcome yet, in `state`.
BatchUpdate pendingAs(std::size_t batch, BatchState state) {
  BatchUpdate out;
  out.batch = batch;
  out.state = state;
  return out;
}

// The recipients cut into batches numbered from 1, in order.
class Batches {
 public:
  Batches(const std::vector<Recipient>& all, std::size_t size) : all_(all), size_(size) {}

  std::size_t count() const { return (all_.size() + size_ - 1) / size_; }
  std::size_t length(std::size_t batch) const { return end(batch) - begin(batch); }

  std::vector<Recipient> recipients(std::size_t batch) const {
    return {all_.begin() + static_cast<std::ptrdiff_t>(begin(batch)),
            all_.begin() + static_cast<std::ptrdiff_t>(end(batch))};
  }

  std::vector<std::string> mobiles(std::size_t batch) const {
    std::vector<std::string> out;
    for (std::size_t i = begin(batch); i < end(batch); ++i) out.push_back(all_[i].mobile);
    return out;
  }

  std::string describe(std::size_t batch) const {
    return "batch " + std::to_string(batch) + " (" + std::to_string(length(batch)) +
           " recipients, " + all_[begin(batch)].mobile + " to " + all_[end(batch) - 1].mobile + ")";
  }

 private:
  std::size_t begin(std::size_t batch) const { return (batch - 1) * size_; }
  std::size_t end(std::size_t batch) const { return std::min(all_.size(), batch * size_); }

  const std::vector<Recipient>& all_;
  std::size_t size_;
};

// What a completion tells about its batch.
BatchUpdate outcome(std::size_t batch, const std::shared_ptr<Result>& result) {
  BatchUpdate out = pendingAs(batch, BatchState::Sent);
  if (result && result->Code() == ResultCode::Success) {
    const Answer<SendReceipt> receipt = readSendReceipt(result);
    if (receipt) out.groupMessageId = receipt.value->groupMessageId;
    out.detail = receipt.error;
    return out;
  }
  if (result) {
    out.state = BatchState::Refused;
    out.code = rawValue(result->Code());
    out.detail = result->Message();
    return out;
  }
  // Without a reason from the client nothing proves that the request stayed in this process: it
  // then may have arrived, and the batch is not sent again blindly.
  const Failure* failure = currentFailure();
  const bool mayHaveArrived = failure == nullptr || failure->requestMayHaveArrived;
  out.state = mayHaveArrived ? BatchState::Unknown : BatchState::Unsent;
  out.detail = failure != nullptr ? failure->message : "the exchange failed";
  return out;
}

// Hands one batch to the client under its group id; `done` runs once with the answer, on a
// client thread.
using SendBatch = std::function<void(const std::vector<Recipient>& batch,
                                     const std::string& groupId, ResultCompletion done)>;

SendBatch sender(Velmora& client, const Settings& settings) {
  if (!settings.text.empty()) {
    return [&client, &settings](const std::vector<Recipient>& batch, const std::string& group,
                                ResultCompletion done) {
      std::vector<std::string> mobiles;
      for (const Recipient& r : batch) mobiles.push_back(r.mobile);
      client.SendMessage(settings.sender, settings.text, mobiles, group, settings.at,
                         std::move(done));
    };
  }
  return [&client, &settings](const std::vector<Recipient>& batch, const std::string& group,
                              ResultCompletion done) {
    std::vector<RecipientsMessage> messages;
    for (const Recipient& r : batch) {
      messages.emplace_back();
      messages.back().setId(r.id);
      messages.back().setMobile(r.mobile);
      messages.back().setMessage(r.text);
    }
    client.SendCorrespondingMessage(settings.sender, messages, group, std::move(done));
  };
}

// Where completions leave their outcomes for the loop. Shared with them: a completion may still
// run after the loop stopped waiting for it.
struct Mailbox {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<BatchUpdate> finished;
};

// One run of a campaign: the loop that starts batches, records them and waits for their ends.
class Run {
 public:
  Run(Velmora& client, const std::vector<Recipient>& recipients, const Settings& settings,
      Journal* journal, JournalContents contents)
      : client_(client),
        settings_(settings),
        send_(sender(client, settings)),
        lookup_{clockOr(settings.clock), settings.callWaitSeconds, settings.onNotice},
        journal_(journal),
        cut_(recipients, settings.batchSize),
        recipients_(recipients.size()),
        campaignId_(contents.campaignId),
        batches_(std::move(contents.batches)),
        contents_(std::move(contents.contents)),
        touched_(batches_.size(), false) {}

  // Looks up the batches that may have reached the service and records what the service said.
  void settleUncertain() {
    if (broken_) return;
    std::vector<BatchUpdate> changed =
        settle(client_, lookup_, settings_.settleSeconds, contents_, batches_);
    if (!write(changed)) unrecorded_.insert(unrecorded_.end(), changed.begin(), changed.end());
    for (const BatchUpdate& u : changed) {
      batches_[u.batch - 1] = u;
      touched_[u.batch - 1] = true;
      settledSent_ += u.state == BatchState::Sent;
      settledNotFound_ += u.state == BatchState::NotFound;
    }
  }

  // Queues the batches to send and names those that are left alone because they may have
  // reached the service already.
  void plan() {
    std::size_t notFound = 0;
    std::size_t uncertainLeft = 0;
    const bool resumed = std::any_of(batches_.begin(), batches_.end(), [](const BatchUpdate& b) {
      return b.state != BatchState::Pending;
    });
    for (const BatchUpdate& b : batches_) {
      notFound += b.state == BatchState::NotFound;
      uncertainLeft += uncertain(b.state);
      const ResumeAction action = resumeAction(b);
      if (action == ResumeAction::Send) {
        queue_.push_back(b.batch);
        total_ += cut_.length(b.batch);
      } else if (action == ResumeAction::List) {
        tell(settings_.onNotice,
             cut_.describe(b.batch) + " is " + std::string(stateName(b.state)) + " (" + b.detail +
                 "); it is not sent again" +
                 (b.state == BatchState::NotFound ? " unless --resend-unknown is given"
                                                  : ": it may have reached the service"));
      }
    }
    if (resumed) {
      tell(settings_.onNotice, "campaign " + campaignId_ + ": " + std::to_string(settled()) +
                                   " of " + std::to_string(batches_.size()) +
                                   " batches settled, sending " + std::to_string(queue_.size()));
    }
    if (settings_.resendUnknown) {
      tell(settings_.onNotice,
           "--resend-unknown: " + std::to_string(notFound) +
               " batches the service does not know are sent again; " +
               std::to_string(uncertainLeft) + " that may have reached it are not; " +
               std::to_string(settledSent_) + " were found sent by their group id");
    }
  }

  void go() {
    const double drainLimit = settings_.callWaitSeconds;
    std::optional<double> giveUp;
    while (true) {
      const bool stopping = stopRequested() || broken_ || stoppedBy_.has_value();
      if (stopping && !giveUp) giveUp = lookup_.clock->now() + drainLimit;
      if (inFlight_ == 0 && (queue_.empty() || stopping)) break;
      if (giveUp && lookup_.clock->now() >= *giveUp) {
        tell(settings_.onNotice, std::to_string(inFlight_) +
                                     " calls did not end in time; their batches count as unknown");
        break;
      }
      step(stopping);
      if (settings_.onProgress) settings_.onProgress({done_, total_});
    }
  }

  // After the run: lookups of what may have arrived and of the batches sent again, the journal
  // made whole, and why the run stopped.
  void finish() {
    if (leftUncertain()) settleUncertain();
    twice_ = deliveredTwice(client_, lookup_, contents_, batches_);
    flushUnrecorded();
    if (stopped_) {
      tell(settings_.onNotice,
           "stopped: " + std::to_string(settled()) + " of " + std::to_string(batches_.size()) +
               " batches are settled (sent or refused); " +
               (journal_ != nullptr
                    ? "run the same command again to resume: it sends only the others"
                    : "without --journal, running the command again sends every batch again"));
    }
    if (stoppedBy_) tell(settings_.onNotice, campaignRefusalLine(*stoppedBy_));
  }

  Summary summary() const {
    Summary out;
    out.campaignId = campaignId_;
    out.recipients = recipients_;
    out.batches = batches_.size();
    out.all = counts([](std::size_t) { return true; });
    out.thisRun = counts([this](std::size_t batch) { return touched_[batch - 1]; });
    for (const BatchUpdate& b : batches_) {
      if (uncertain(b.state)) out.unknownBatches.push_back(b.batch);
    }
    out.deliveredTwice = twice_;
    out.settledSent = settledSent_;
    out.settledNotFound = settledNotFound_;
    out.settled = settled();
    out.stoppedBy = stoppedBy_;
    out.journalFailed = broken_;
    const StateCounts& c = out.all;
    const bool open = c.unknown + c.unsent + c.pending + c.notFound > 0;
    out.end = stopped_             ? End::Stopped
              : !twice_.empty()    ? End::DeliveredTwice
              : stoppedBy_         ? End::StoppedByRefusal
              : open || broken_    ? End::Open
              : !c.refused.empty() ? End::Refused
                                   : End::Sent;
    return out;
  }

 private:
  bool stopRequested() {
    if (!stopped_ && settings_.stopRequested && settings_.stopRequested()) stopped_ = true;
    return stopped_;
  }

  // A refusal about the account or the service refused nothing of the batch's own: its
  // recipients get their texts once the cause is fixed. Nothing of it was delivered, so sending
  // it again cannot send anything twice.
  ResumeAction resumeAction(const BatchUpdate& b) const {
    if (b.state == BatchState::Refused && b.code &&
        (settings_.resendRefused || campaignWide(*b.code, oneText()))) {
      return ResumeAction::Send;
    }
    return onResume(b.state, settings_.resendUnknown);
  }

  bool oneText() const { return !settings_.text.empty(); }

  // The batches that no later run sends: sent, or refused for their own recipients.
  std::size_t settled() const {
    return static_cast<std::size_t>(
        std::count_if(batches_.begin(), batches_.end(), [this](const BatchUpdate& b) {
          return (b.state == BatchState::Sent || b.state == BatchState::Refused) &&
                 resumeAction(b) != ResumeAction::Send;
        }));
  }

  bool leftUncertain() const {
    return std::any_of(batches_.begin(), batches_.end(),
                       [](const BatchUpdate& b) { return uncertain(b.state); });
  }

  // Writes what the journal could not take when it failed, or tells it one batch a line, so
  // that no outcome this run learnt is lost.
  void flushUnrecorded() {
    if (!broken_) return;
    try {
      journal_->record(unrecorded_);
      tell(settings_.onNotice,
           "the journal " + settings_.journal + " failed during the run; the outcomes of " +
               std::to_string(unrecorded_.size()) + " batches were written afterwards");
      return;
    } catch (const JournalError& e) {
      tell(settings_.onNotice, "the journal " + settings_.journal + " cannot be written (" +
                                   e.what() + "); it misses these outcomes, one batch a line:");
    }
    for (const BatchUpdate& u : unrecorded_) {
      tell(settings_.onNotice,
           "batch " + std::to_string(u.batch) + " " + contents_[u.batch - 1].groupId + ": " +
               std::string(stateName(u.state)) +
               (u.groupMessageId.empty() ? "" : " group message id " + u.groupMessageId) +
               (u.detail.empty() ? "" : " (" + u.detail + ")"));
    }
  }

  // The batches that `include` takes, counted by state, refusals by code.
  template <class Include>
  StateCounts counts(Include include) const {
    StateCounts out;
    for (const BatchUpdate& b : batches_) {
      if (!include(b.batch)) continue;
      switch (b.state) {
        case BatchState::Sent:
          ++out.sent;
          break;
        case BatchState::InFlight:
        case BatchState::Unknown:
          ++out.unknown;
          break;
        case BatchState::Unsent:
          ++out.unsent;
          break;
        case BatchState::Pending:
          ++out.pending;
          break;
        case BatchState::NotFound:
          ++out.notFound;
          break;
        case BatchState::Refused: {
          const std::string name = b.code ? velmora::name(static_cast<ResultCode>(*b.code)) : "";
          ++out.refused[name.empty() ? std::to_string(b.code.value_or(0)) : name];
          break;
        }
      }
    }
    return out;
  }

  // Takes the batches that ended, records them with the next ones to start in one transaction,
  // and only then hands those to the client.
  void step(bool stopping) {
    std::vector<BatchUpdate> updates = collect(stopping);
    const std::size_t finished = updates.size();
    inFlight_ -= finished;
    // Taken as the calls' end: a moment after it, which only makes settling later, never sooner.
    const double now = lookup_.clock->now();
    for (BatchUpdate& u : updates) {
      u.resends = batches_[u.batch - 1].resends;
      u.ended = now;
    }
    noteCampaignWideRefusal(updates);
    while (!stopping && !stoppedBy_ && inFlight_ + updates.size() - finished < settings_.inFlight &&
           !queue_.empty()) {
      updates.push_back(started(queue_.front()));
      queue_.pop_front();
    }
    if (!write(updates)) {
      // Not started after all: they stay pending, and a later run sends them.
      for (std::size_t i = finished; i < updates.size(); ++i) queue_.push_front(updates[i].batch);
      updates.resize(finished);
      unrecorded_.insert(unrecorded_.end(), updates.begin(), updates.end());
    }
    for (const BatchUpdate& u : updates) {
      batches_[u.batch - 1] = u;
      touched_[u.batch - 1] = true;
      if (u.state != BatchState::InFlight) done_ += cut_.length(u.batch);
    }
    for (std::size_t i = finished; i < updates.size(); ++i) handOver(updates[i].batch);
  }

  // A batch about to leave. One the service did not know goes out under a group id of its own,
  // so that its first send, should the service record it late, can still be told apart.
  BatchUpdate started(std::size_t batch) const {
    BatchUpdate update = pendingAs(batch, BatchState::InFlight);
    const BatchUpdate& before = batches_[batch - 1];
    update.resends = before.resends + (before.state == BatchState::NotFound ? 1 : 0);
    return update;
  }

  // The first refusal that every batch would get stops the campaign: no batch starts after it,
  // so that a wrong password or an empty account costs one call, not one per batch.
  void noteCampaignWideRefusal(const std::vector<BatchUpdate>& updates) {
    for (const BatchUpdate& u : updates) {
      if (!stoppedBy_ && u.state == BatchState::Refused && u.code &&
          campaignWide(*u.code, oneText())) {
        stoppedBy_ = u.code;
      }
    }
  }

  // The outcomes that arrived; waits a little for one when there is nothing to start.
  std::vector<BatchUpdate> collect(bool stopping) {
    std::unique_lock<std::mutex> lock(mailbox_->mutex);
    const bool room = !stopping && inFlight_ < settings_.inFlight && !queue_.empty();
    if (!room) {
      mailbox_->arrived.wait_for(lock, std::chrono::milliseconds(100),
                                 [&] { return !mailbox_->finished.empty(); });
    }
    return std::exchange(mailbox_->finished, {});
  }

  bool write(const std::vector<BatchUpdate>& updates) {
    if (journal_ == nullptr || broken_) return journal_ == nullptr;
    try {
      journal_->record(updates);
      return true;
    } catch (const JournalError& e) {
      tell(settings_.onNotice, "cannot write the journal " + settings_.journal + ": " + e.what() +
                                   "; no further batch is started");
      broken_ = true;
      return false;
    }
  }

  void handOver(std::size_t batch) {
    ++inFlight_;
    const std::string group =
        resentGroupId(contents_[batch - 1].groupId, batches_[batch - 1].resends);
    send_(cut_.recipients(batch), group,
          [mailbox = mailbox_, batch](std::shared_ptr<Result> result) {
            BatchUpdate update = outcome(batch, result);
            std::lock_guard<std::mutex> lock(mailbox->mutex);
            mailbox->finished.push_back(std::move(update));
            mailbox->arrived.notify_one();
          });
  }

  Velmora& client_;
  const Settings& settings_;
  SendBatch send_;
  Lookup lookup_;
  Journal* journal_;
  Batches cut_;
  std::size_t recipients_;
  std::string campaignId_;
  std::vector<BatchUpdate> batches_;  // the latest state of each batch, the first batch first
  std::vector<BatchContents> contents_;
  std::vector<bool> touched_;            // batches this run started or settled
  std::vector<BatchUpdate> unrecorded_;  // outcomes the journal failed to take
  std::size_t settledSent_ = 0;
  std::size_t settledNotFound_ = 0;
  std::deque<std::size_t> queue_;
  std::size_t total_ = 0;
  std::size_t done_ = 0;
  std::size_t inFlight_ = 0;
  bool broken_ = false;
  bool stopped_ = false;
  std::optional<long long> stoppedBy_;  // the code of the refusal that stopped the campaign
  std::vector<std::size_t> twice_;      // batches whose first send arrived beside a resend
  std::shared_ptr<Mailbox> mailbox_ = std::make_shared<Mailbox>();
};

// A new campaign: every batch pending, under a group id of its own.
JournalContents freshCampaign(const Batches& cut, const std::string& prefix) {
  JournalContents out{newCampaignId(), {}, {}};
  for (std::size_t b = 1; b <= cut.count(); ++b) {
    out.batches.push_back(pendingAs(b, BatchState::Pending));
    out.contents.push_back({groupId(prefix, out.campaignId, b), cut.mobiles(b)});
  }
  return out;
}

// Why the recipients or the settings cannot make a campaign; empty when they can.
std::string unusable(const std::vector<Recipient>& recipients, const Settings& settings) {
  if (recipients.empty()) return "there is no recipient";
  if (settings.batchSize < 1 || settings.batchSize > 1000)
    return "the batch size must be 1 to 1000";
  if (settings.inFlight < 1 || settings.inFlight > 64) return "in flight must be 1 to 64";
  if (!(settings.settleSeconds >= 0 && settings.settleSeconds <= 86400)) {
    return "the settle time must be 0 to 86400 seconds";
  }
  if (!(settings.callWaitSeconds > 0 && settings.callWaitSeconds <= 86400)) {
    return "the wait for a call must be more than 0 and at most 86400 seconds";
  }
  if (!isValidUtf8(settings.text)) return "the text is not UTF-8";
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    const Recipient& r = recipients[i];
    const std::string which = "recipient " + std::to_string(i + 1);
    if (!isPhoneNumber(r.mobile)) return which + ": \"" + r.mobile + "\" is not a phone number";
    if (settings.text.empty() && (r.text.empty() || !isValidUtf8(r.text))) {
      return which + " has no text, or one that is not UTF-8";
    }
  }
  return {};
}

}  // namespace

std::string recipientsDigest(const std::vector<Recipient>& recipients) {
  // Each field behind its length, so that no two different lists give the same bytes; hashed in
  // one call, which is many times faster than a call per field.
  std::string bytes;
  for (const Recipient& r : recipients) {
    for (const std::string* field : {&r.id, &r.mobile, &r.text}) {
      bytes += std::to_string(field->size());
      bytes += ':';
      bytes += *field;
    }
  }
  return sha256Hex(bytes);
}

Summary run(Velmora& client, const std::vector<Recipient>& recipients, const Settings& settings) {
  Summary refused;
  refused.problem = unusable(recipients, settings);
  if (!refused.problem.empty()) return refused;
  const Batches cut(recipients, settings.batchSize);
  JournalContents contents = freshCampaign(cut, settings.groupPrefix);
  std::unique_ptr<Journal> journal;
  try {
    if (!settings.journal.empty()) {
      journal = std::make_unique<Journal>(settings.journal);
      const CampaignIdentity identity{settings.text.empty() ? "send-each" : "send",
                                      settings.sender,
                                      settings.text,
                                      recipientsDigest(recipients),
                                      recipients.size(),
                                      settings.batchSize};
      contents = journal->begin(identity, contents.campaignId, contents.contents,
                                clockOr(settings.clock)->now());
    }
  } catch (const std::exception& e) {
    refused.problem = e.what();
    return refused;
  }
  Run run(client, recipients, settings, journal.get(), std::move(contents));
  try {
    run.settleUncertain();
    run.plan();
    run.go();
    run.finish();
  } catch (const std::exception& e) {
    // Out of memory mid-run: what the journal holds stands, and what is open stays so.
    Summary broken = run.summary();
    broken.end = End::Open;
    broken.problem = e.what();
    return broken;
  }
  return run.summary();
}

}  // namespace velmora::campaign
