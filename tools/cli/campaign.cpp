#include "campaign.hpp"

#include <signal.h>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <utility>

#include "journal.hpp"
#include "progress.hpp"
#include "refusals.hpp"
#include "velmora/answers.hpp"
#include "velmora/text.hpp"

namespace velmora::cli {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// The status when some batches are unknown, unsent or never started.
constexpr int kSomeOpen = 2;
// The status when a refusal that every batch would get stopped the campaign.
constexpr int kStoppedByRefusal = 5;

// A campaign, its recipients read.
struct Campaign {
  std::string command;
  std::string sender;
  std::string text;
  RecipientList recipients;
};

// Hands one batch to the library under its group id; `done` runs once with the answer, on a
// library thread.
using SendBatch = std::function<void(const std::vector<Recipient>& batch,
                                     const std::string& groupId, ResultCompletion done)>;

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

bool uncertain(BatchState state) {
  return state == BatchState::Unknown || state == BatchState::InFlight;
}

// The rows that count as another's: written in another form, or repeats let through.
json mergedRows(const RecipientList& list) {
  return {{"duplicatesInOtherForm", list.otherForms()}, {"repeatsDropped", list.repeats()}};
}

volatile std::sig_atomic_t stopRequested = 0;

void onStopSignal(int) {
  stopRequested = 1;
}

// Catches SIGINT and SIGTERM while it lives, and then puts back what was there before.
class StopSignals {
 public:
  StopSignals() {
    stopRequested = 0;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousInt_);
    sigaction(SIGTERM, &action, &previousTerm_);
  }
  ~StopSignals() {
    sigaction(SIGINT, &previousInt_, nullptr);
    sigaction(SIGTERM, &previousTerm_, nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  bool raised() const { return stopRequested != 0; }

 private:
  struct sigaction previousInt_ {};
  struct sigaction previousTerm_ {};
};

// The campaign's recipients cut into batches numbered from 1, in order.
class Batches {
 public:
  Batches(const Campaign& campaign, std::size_t size)
      : all_(campaign.recipients.recipients()), size_(size) {}

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
  BatchUpdate out{batch, BatchState::Sent, std::nullopt, "", "", false, unixNow()};
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
  // Without a reason from the library nothing proves that the request stayed in this process:
  // failureHere() then says that it may have arrived, and the batch is not sent again blindly.
  const Failure failure = failureHere();
  out.state = failure.requestMayHaveArrived ? BatchState::Unknown : BatchState::Unsent;
  out.detail = failure.message;
  return out;
}

// Asks the service whether each uncertain batch arrived, by its group id. Found: sent. Not
// found, asked at least `settle` seconds after the batch's call ended: the service does not know
// it. Not found sooner, or no answer: still unknown, as a late request may yet arrive. Stops at
// the first lookup without an answer, as the service is then out of reach for the others too.
// Returns the batches that changed.
std::vector<BatchUpdate> settle(Velmora& client, const Settings& settings, double settleSeconds,
                                const std::vector<BatchContents>& contents,
                                const std::vector<BatchUpdate>& batches) {
  std::vector<BatchUpdate> changed;
  for (const BatchUpdate& b : batches) {
    if (!uncertain(b.state)) continue;
    const double asked = unixNow();
    const Outcome<std::shared_ptr<Result>> looked =
        await<std::shared_ptr<Result>>(settings, [&](ResultCompletion done) {
          client.GetGroupMessageId(resentGroupId(contents[b.batch - 1].groupId, b.resends),
                                   std::move(done));
        });
    if (!looked.value) {
      printError("cannot look up the uncertain batches: " + looked.failure->message, settings);
      break;
    }
    BatchUpdate update = b;
    update.state = BatchState::Unknown;
    update.settledByLookup = true;
    if (const Answer<std::string> id = readGroupMessageId(looked.value)) {
      update.state = BatchState::Sent;
      update.groupMessageId = *id.value;
      update.detail = "found by its group id";
    } else if (looked.value->Code() == ResultCode::GroupError &&
               asked - b.ended.value_or(asked) >= settleSeconds) {
      update.state = BatchState::NotFound;
      update.detail = "the service knows no send under its group id";
    } else {
      continue;
    }
    changed.push_back(std::move(update));
  }
  return changed;
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
  Run(const Campaign& campaign, const Settings& common, const CampaignSettings& settings,
      const SendBatch& send, Journal* journal, JournalContents contents)
      : campaign_(campaign),
        common_(common),
        settings_(settings),
        send_(send),
        journal_(journal),
        cut_(campaign, settings.batchSize),
        campaignId_(contents.campaignId),
        batches_(std::move(contents.batches)),
        contents_(std::move(contents.contents)),
        touched_(batches_.size(), false) {}

  // Looks up the earlier group ids of the batches sent again; see `deliveredTwice`.
  void checkResends(Velmora& client) {
    twice_ = deliveredTwice(client, common_, contents_, batches_);
  }

  // Looks up the batches that may have reached the service and records what the service said.
  void settleUncertain(Velmora& client) {
    if (broken_) return;
    std::vector<BatchUpdate> changed =
        settle(client, common_, settings_.settle, contents_, batches_);
    if (!write(changed)) unrecorded_.insert(unrecorded_.end(), changed.begin(), changed.end());
    for (const BatchUpdate& u : changed) {
      batches_[u.batch - 1] = u;
      touched_[u.batch - 1] = true;
      ++settledNow_[u.state];
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
        printError(cut_.describe(b.batch) + " is " + std::string(stateName(b.state)) + " (" +
                       b.detail + "); it is not sent again" +
                       (b.state == BatchState::NotFound ? " unless --resend-unknown is given"
                                                        : ": it may have reached the service"),
                   common_);
      }
    }
    if (resumed) sayWhatResumes();
    if (settings_.resendUnknown) {
      printError("--resend-unknown: " + std::to_string(notFound) +
                     " batches the service does not know are sent again; " +
                     std::to_string(uncertainLeft) + " that may have reached it are not; " +
                     std::to_string(settledNow_[BatchState::Sent]) +
                     " were found sent by their group id",
                 common_);
    }
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

  bool oneText() const { return campaign_.command == "send"; }

  // The batches that no later run sends: sent, or refused for their own recipients.
  std::size_t settled() const {
    return static_cast<std::size_t>(
        std::count_if(batches_.begin(), batches_.end(), [this](const BatchUpdate& b) {
          return (b.state == BatchState::Sent || b.state == BatchState::Refused) &&
                 resumeAction(b) != ResumeAction::Send;
        }));
  }

  // A run that goes on with a journal's campaign says so, and how much is left to send.
  void sayWhatResumes() const {
    printError("campaign " + campaignId_ + ": " + std::to_string(settled()) + " of " +
                   std::to_string(batches_.size()) + " batches settled, sending " +
                   std::to_string(queue_.size()),
               common_);
  }

  // After the run: the refusal that stopped it, and what to do.
  void sayWhyStopped() const {
    if (stoppedBy_) printError(campaignRefusalLine(*stoppedBy_), common_);
  }

  // Writes what the journal could not take when it failed, or prints it one batch a line, so
  // that no outcome this run learnt is lost. Returns false when the journal misses some.
  bool flushUnrecorded() {
    if (!broken_) return true;
    try {
      journal_->record(unrecorded_);
      printError("the journal " + settings_.journal + " failed during the run; the outcomes of " +
                     std::to_string(unrecorded_.size()) + " batches were written afterwards",
                 common_);
      return true;
    } catch (const JournalError& e) {
      printError("the journal " + settings_.journal + " cannot be written (" + e.what() +
                     "); it misses these outcomes, one batch a line:",
                 common_);
    }
    for (const BatchUpdate& u : unrecorded_) {
      printError("batch " + std::to_string(u.batch) + " " + contents_[u.batch - 1].groupId + ": " +
                     std::string(stateName(u.state)) +
                     (u.groupMessageId.empty() ? "" : " group message id " + u.groupMessageId) +
                     (u.detail.empty() ? "" : " (" + u.detail + ")"),
                 common_);
    }
    return false;
  }

  // True when this run left batches that may have reached the service.
  bool leftUncertain() const {
    return std::any_of(batches_.begin(), batches_.end(),
                       [](const BatchUpdate& b) { return uncertain(b.state); });
  }

  void go() {
    StopSignals signals;
    Progress progress(total_, common_.verbosity);
    // The library ends every call by its deadline; the margin covers a completion that is late.
    const auto drainLimit = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(common_.deadline) + std::chrono::seconds(30));
    std::optional<Clock::time_point> giveUp;
    while (true) {
      const bool stopping = signals.raised() || broken_ || stoppedBy_.has_value();
      if (stopping && !giveUp) giveUp = Clock::now() + drainLimit;
      if (inFlight_ == 0 && (queue_.empty() || stopping)) break;
      if (giveUp && Clock::now() >= *giveUp) {
        printError(std::to_string(inFlight_) +
                       " calls did not end in time; their batches count as unknown",
                   common_);
        break;
      }
      step(stopping);
      progress.update(done_);
    }
    stopped_ = signals.raised();
  }

  // The summary of every batch, with this run's own batches beside, and the exit status the
  // campaign's batches call for.
  std::pair<json, int> report() const {
    std::map<BatchState, std::size_t> counts;
    json summary = stateCounts([](std::size_t) { return true; }, counts);
    summary["thisRun"] = thisRun();
    summary["recipients"] = campaign_.recipients.recipients().size();
    summary["duplicates"] = campaign_.recipients.duplicates();
    summary["batches"] = batches_.size();
    summary.update(mergedRows(campaign_.recipients));
    json unknown = json::array();
    for (const BatchUpdate& b : batches_) {
      if (uncertain(b.state)) unknown.push_back(b.batch);
    }
    summary["unknownBatches"] = std::move(unknown);
    summary["deliveredTwice"] = twice_;
    summary["settledByLookup"] = {{"sent", settledNow_.at(BatchState::Sent)},
                                  {"not-found", settledNow_.at(BatchState::NotFound)}};
    const bool open = counts[BatchState::Unknown] + counts[BatchState::Unsent] +
                          counts[BatchState::Pending] + counts[BatchState::NotFound] >
                      0;
    const int status = stopped_                          ? kInterrupted
                       : !twice_.empty()                 ? kDeliveredTwice
                       : stoppedBy_                      ? kStoppedByRefusal
                       : open || broken_                 ? kSomeOpen
                       : counts[BatchState::Refused] > 0 ? kRefused
                                                         : kSuccess;
    return {std::move(summary), status};
  }

  // After a signal, once the progress bar is done: how far the campaign got and how to go on.
  void sayHowToResume() const {
    if (!stopped_) return;
    printError("stopped: " + std::to_string(settled()) + " of " + std::to_string(batches_.size()) +
                   " batches are settled (sent or refused); " +
                   (journal_ != nullptr
                        ? "run the same command again to resume: it sends only the others"
                        : "without --journal, running the command again sends every batch again"),
               common_);
  }

 private:
  // The batches that `include` takes, counted by state (also into `counts`), refusals by code.
  template <class Include>
  json stateCounts(Include include, std::map<BatchState, std::size_t>& counts) const {
    json refused = json::object();
    for (const BatchUpdate& b : batches_) {
      if (!include(b.batch)) continue;
      const BatchState state = b.state == BatchState::InFlight ? BatchState::Unknown : b.state;
      ++counts[state];
      if (state != BatchState::Refused) continue;
      const std::string name = b.code ? velmora::name(static_cast<ResultCode>(*b.code)) : "";
      auto& count = refused[name.empty() ? std::to_string(b.code.value_or(0)) : name];
      count = count.is_null() ? 1 : count.get<int>() + 1;
    }
    json out = json::object();
    for (BatchState state : {BatchState::Sent, BatchState::Unknown, BatchState::Unsent,
                             BatchState::Pending, BatchState::NotFound}) {
      out[std::string(stateName(state))] = counts[state];
    }
    out["refused"] = std::move(refused);
    return out;
  }

  // The batches this run started or settled by a lookup, as they stand now.
  json thisRun() const {
    std::map<BatchState, std::size_t> counts;
    return stateCounts([this](std::size_t batch) { return touched_[batch - 1]; }, counts);
  }

  // Takes the batches that ended, records them with the next ones to start in one transaction,
  // and only then hands those to the library.
  void step(bool stopping) {
    std::vector<BatchUpdate> updates = collect(stopping);
    const std::size_t finished = updates.size();
    inFlight_ -= finished;
    for (BatchUpdate& u : updates) u.resends = batches_[u.batch - 1].resends;
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
      printError("cannot write the journal " + settings_.journal + ": " + e.what() +
                     "; no further batch is started",
                 common_);
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

  const Campaign& campaign_;
  const Settings& common_;
  const CampaignSettings& settings_;
  const SendBatch& send_;
  Journal* journal_;
  Batches cut_;
  std::string campaignId_;
  std::vector<BatchUpdate> batches_;  // the latest state of each batch, the first batch first
  std::vector<BatchContents> contents_;
  std::vector<bool> touched_;            // batches this run started or settled
  std::vector<BatchUpdate> unrecorded_;  // outcomes the journal failed to take
  std::map<BatchState, std::size_t> settledNow_{{BatchState::Sent, 0}, {BatchState::NotFound, 0}};
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

JournalContents openJournal(Journal& journal, const Campaign& campaign,
                            const CampaignSettings& settings, JournalContents fresh) {
  const std::vector<Recipient>& all = campaign.recipients.recipients();
  const CampaignIdentity identity{campaign.command,      campaign.sender, campaign.text,
                                  recipientsDigest(all), all.size(),      settings.batchSize};
  return journal.begin(identity, fresh.campaignId, fresh.contents);
}

// Says which rows were taken for an earlier one, so that a merge nobody expected is seen.
void reportMerges(const RecipientList& list, const Settings& settings) {
  if (list.otherForms() > 0) {
    std::string examples;
    for (const OtherForm& o : list.otherFormExamples()) {
      examples += (examples.empty() ? "" : ", ") + o.written + " (" + o.where + ") as " + o.first +
                  " (" + o.firstWhere + ")";
    }
    printError(std::to_string(list.otherForms()) +
                   " numbers repeat an earlier one written in another form and are sent once: " +
                   examples + (list.otherForms() > list.otherFormExamples().size() ? ", ..." : ""),
               settings);
  }
  if (list.repeats() > 0) {
    printError("--allow-repeats: " + std::to_string(list.repeats()) +
                   " rows that repeat a number with another text or an id are dropped; the "
                   "first row of each is sent",
               settings);
  }
}

bool reportProblems(const Campaign& campaign, const Settings& settings) {
  const RecipientList& list = campaign.recipients;
  for (const InputProblem& p : list.problems()) {
    printError(p.source + (p.line > 0 ? ":" + std::to_string(p.line) : "") + ": " + p.reason,
               settings);
  }
  if (!list.problems().empty()) {
    printError("nothing was sent: " + std::to_string(list.problems().size()) +
                   " input lines cannot be used",
               settings);
  } else if (list.recipients().empty()) {
    printError("nothing was sent: there is no recipient", settings);
  } else if (!isValidUtf8(campaign.text)) {
    printError("nothing was sent: the text is not UTF-8", settings);
  } else {
    return false;
  }
  return true;
}

// Numbers, and "@FILE" items naming files of numbers.
void readNumberArguments(const std::vector<std::string>& arguments, RecipientList& out) {
  std::size_t position = 0;
  for (const std::string& argument : arguments) {
    ++position;
    if (argument.size() > 1 && argument.front() == '@') {
      const std::string path = argument.substr(1);
      readNumbers(readInput(path), path, out);
    } else if (isPhoneNumber(argument)) {
      out.add({argument, {}, {}}, "--to", position);
    } else {
      out.problem("--to", 0, "\"" + argument + "\" is not a phone number or @FILE");
    }
  }
}

SendBatch sender(Velmora& client, const CampaignRequest& request) {
  if (request.command == "send") {
    return [&client, &request](const std::vector<Recipient>& batch, const std::string& group,
                               ResultCompletion done) {
      std::vector<std::string> mobiles;
      for (const Recipient& r : batch) mobiles.push_back(r.mobile);
      client.SendMessage(request.sender, request.text, mobiles, group, request.at, std::move(done));
    };
  }
  return [&client, &request](const std::vector<Recipient>& batch, const std::string& group,
                             ResultCompletion done) {
    std::vector<RecipientsMessage> messages;
    for (const Recipient& r : batch) {
      messages.emplace_back();
      messages.back().setId(r.id);
      messages.back().setMobile(r.mobile);
      messages.back().setMessage(r.message);
    }
    client.SendCorrespondingMessage(request.sender, messages, group, std::move(done));
  };
}

}  // namespace

std::vector<std::size_t> deliveredTwice(Velmora& client, const Settings& settings,
                                        const std::vector<BatchContents>& contents,
                                        const std::vector<BatchUpdate>& batches) {
  std::vector<std::size_t> twice;
  for (const BatchUpdate& b : batches) {
    if (b.resends == 0 || b.state != BatchState::Sent) continue;
    const std::string& base = contents[b.batch - 1].groupId;
    for (long long k = 0; k < b.resends; ++k) {
      const Outcome<GroupMessageId> found =
          await<Outcome<GroupMessageId>>(settings, [&](OutcomeCompletion<GroupMessageId> done) {
            client.groupMessageId(resentGroupId(base, k), std::move(done));
          });
      if (!found) continue;  // not known, or not asked: nothing says it arrived
      printError("batch " + std::to_string(b.batch) + " was delivered twice: its send under " +
                     resentGroupId(base, k) + " (group message id " + found.value.id +
                     ") arrived beside the resend under " + resentGroupId(base, b.resends),
                 settings);
      twice.push_back(b.batch);
      break;
    }
  }
  return twice;
}

void addCampaignOptions(CLI::App& command, CampaignSettings& settings) {
  command.add_option("--batch", settings.batchSize, "Recipients per call")
      ->capture_default_str()
      ->check(CLI::Range(1, 1000));
  command.add_option("--in-flight", settings.inFlight, "Calls under way at once")
      ->capture_default_str()
      ->check(CLI::Range(1, 64));
  command.add_option("--journal", settings.journal,
                     "SQLite file recording each batch; running the same command with it again "
                     "resumes the campaign and never sends a batch twice");
  command.add_flag("--resend-refused", settings.resendRefused,
                   "With --journal: also send again the batches refused for their own recipients "
                   "(a refusal about the account or the service is always sent again)");
  command.add_flag("--resend-unknown", settings.resendUnknown,
                   "With --journal: also send again the batches that the service, asked by "
                   "their group ids, does not know (not-found); never those that may have "
                   "reached it");
  command
      .add_option("--settle", settings.settle,
                  "Seconds after a batch's call ended from which the service's not knowing its "
                  "group id counts as not-found")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 86400.0));
}

namespace {

// A CSV field, quoted when it holds a separator, a quote or a line break (RFC 4180).
std::string csvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

// What a recipient's state is called: its message's delivery state by the service's name (its
// number when this version knows no name), or, before any poll, its batch's state.
std::string recipientState(const BatchUpdate& batch, const Delivery* delivery) {
  if (delivery == nullptr) {
    return std::string(
        stateName(batch.state == BatchState::InFlight ? BatchState::Unknown : batch.state));
  }
  const std::optional<StatusCode> status = statusCodeFromRaw(delivery->status);
  return status ? name(*status) : std::to_string(delivery->status);
}

// Every recipient of the journal with its batch, group id, message id and state, as JSON or CSV.
void printReport(const std::string& path, const std::vector<std::string>& states, bool csv) {
  const JournalContents contents = Journal::read(path);
  std::map<std::pair<std::size_t, std::string>, Delivery> known;
  for (Delivery& d : Journal::deliveries(path)) {
    known[{d.batch, d.mobile}] = std::move(d);
  }
  json rows = json::array();
  std::string table = "batch,groupId,mobile,messageId,state,status\r\n";
  for (const BatchUpdate& b : contents.batches) {
    const BatchContents& batch = contents.contents[b.batch - 1];
    const std::string group = resentGroupId(batch.groupId, b.resends);
    for (const std::string& mobile : batch.mobiles) {
      const auto found = known.find({b.batch, mobile});
      const Delivery* delivery = found == known.end() ? nullptr : &found->second;
      const std::string state = recipientState(b, delivery);
      if (!states.empty() && std::find(states.begin(), states.end(), state) == states.end()) {
        continue;
      }
      const std::string messageId = delivery ? delivery->messageId : "";
      const json status = delivery ? json(delivery->status) : json(nullptr);
      rows.push_back({{"batch", b.batch},
                      {"groupId", group},
                      {"mobile", mobile},
                      {"messageId", messageId},
                      {"state", state},
                      {"status", status}});
      table += std::to_string(b.batch) + "," + csvField(group) + "," + csvField(mobile) + "," +
               csvField(messageId) + "," + state + "," +
               (delivery ? std::to_string(delivery->status) : "") + "\r\n";
    }
  }
  if (csv) {
    std::fwrite(table.data(), 1, table.size(), stdout);
  } else {
    printJson({{"campaignId", contents.campaignId}, {"recipients", rows}}, false);
  }
}

void addCampaignReport(CLI::App& campaign) {
  auto* report = campaign.add_subcommand(
      "report",
      "List every recipient with its batch, group id, message id and state (after \"status "
      "--journal\", each message's delivery state by name)");
  auto path = std::make_shared<std::string>();
  auto states = std::make_shared<std::vector<std::string>>();
  auto format = std::make_shared<std::string>("json");
  report->add_option("JOURNAL", *path, "The journal file")->required();
  report->add_option("--state", *states, "Only the recipients in this state; repeatable")
      ->check(CLI::IsMember(reportStates()));
  report->add_option("--format", *format, "json or csv")
      ->capture_default_str()
      ->check(CLI::IsMember({"json", "csv"}));
  // Needs no account: print and end the parse successfully before credentials are checked.
  report->callback([path, states, format] {
    try {
      printReport(*path, *states, *format == "csv");
    } catch (const JournalError& e) {
      throw CLI::ValidationError("JOURNAL", e.what());
    }
    throw CLI::Success();
  });
}

}  // namespace

std::vector<std::string> reportStates() {
  std::vector<std::string> names;
  for (const StatusCode s :
       {StatusCode::Unknown, StatusCode::Sended, StatusCode::InQueue, StatusCode::Filtered,
        StatusCode::InTelecommunication, StatusCode::NotInTelecommunication,
        StatusCode::NumberError, StatusCode::ServerFull}) {
    names.emplace_back(name(s));
  }
  for (int s = 0; s <= static_cast<int>(BatchState::NotFound); ++s) {
    names.emplace_back(stateName(static_cast<BatchState>(s)));
  }
  return names;
}

void addCampaignShow(CLI::App& app) {
  auto* campaign = app.add_subcommand("campaign", "Read a campaign's journal");
  campaign->require_subcommand(1);
  auto* show = campaign->add_subcommand(
      "show", "Print the batches of a journal as JSON: state, group ids and numbers");
  auto path = std::make_shared<std::string>();
  auto states = std::make_shared<std::vector<std::string>>();
  show->add_option("JOURNAL", *path, "The journal file")->required();
  std::vector<std::string> names;
  for (int s = 0; s <= static_cast<int>(BatchState::NotFound); ++s) {
    names.emplace_back(stateName(static_cast<BatchState>(s)));
  }
  show->add_option("--state", *states, "Only the batches in this state; repeatable")
      ->check(CLI::IsMember(names));
  // Needs no account: print and end the parse successfully before credentials are checked.
  show->callback([path, states] {
    JournalContents contents;
    try {
      contents = Journal::read(*path);
    } catch (const JournalError& e) {
      throw CLI::ValidationError("JOURNAL", e.what());
    }
    json batches = json::array();
    for (const BatchUpdate& b : contents.batches) {
      const std::string state(stateName(b.state));
      if (!states->empty() && std::find(states->begin(), states->end(), state) == states->end()) {
        continue;
      }
      batches.push_back({{"batch", b.batch},
                         {"state", state},
                         {"groupId", contents.contents[b.batch - 1].groupId},
                         {"resends", b.resends},
                         {"groupMessageId", b.groupMessageId},
                         {"mobiles", contents.contents[b.batch - 1].mobiles}});
    }
    printJson({{"campaignId", contents.campaignId}, {"batches", batches}}, false);
    throw CLI::Success();
  });
  addCampaignReport(*campaign);
}

bool isCampaign(const std::vector<std::string>& to, const CampaignSettings& campaign) {
  return !campaign.journal.empty() || std::any_of(to.begin(), to.end(), [](const std::string& t) {
    return t.rfind('@', 0) == 0;
  });
}

std::string recipientsDigest(const std::vector<Recipient>& recipients) {
  // Each field behind its length, so that no two different lists give the same bytes; hashed in
  // one call, which is many times faster than a call per field.
  std::string bytes;
  for (const Recipient& r : recipients) {
    for (const std::string* field : {&r.id, &r.mobile, &r.message}) {
      bytes += std::to_string(field->size());
      bytes += ':';
      bytes += *field;
    }
  }
  return sha256Hex(bytes);
}

int runCampaign(Velmora& client, const Settings& settings, const CampaignRequest& request) {
  const CampaignSettings& flags = request.campaign;
  Campaign campaign{request.command, request.sender, request.text,
                    RecipientList({settings.region, flags.allowRepeats})};
  try {
    if (request.command == "send") {
      readNumberArguments(request.to, campaign.recipients);
    } else {
      readCsv(readInput(request.csv), request.csv, campaign.recipients);
    }
  } catch (const std::runtime_error& e) {
    printError(e.what(), settings);
    return kUsage;
  }
  if (reportProblems(campaign, settings)) return kRefusedInput;
  reportMerges(campaign.recipients, settings);

  const Batches cut(campaign, flags.batchSize);
  std::unique_ptr<Journal> journal;
  JournalContents contents = freshCampaign(cut, request.group);
  try {
    if (!flags.journal.empty()) {
      journal = std::make_unique<Journal>(flags.journal);
      contents = openJournal(*journal, campaign, flags, std::move(contents));
    }
  } catch (const JournalError& e) {
    printError(e.what(), settings);
    return kUsage;
  }
  const SendBatch send = sender(client, request);
  Run run(campaign, settings, flags, send, journal.get(), std::move(contents));
  run.settleUncertain(client);
  run.plan();
  run.go();
  if (run.leftUncertain()) run.settleUncertain(client);
  run.checkResends(client);
  run.flushUnrecorded();
  run.sayHowToResume();
  run.sayWhyStopped();
  const auto [summary, status] = run.report();
  printAnswer(summary, settings);
  return status;
}

}  // namespace velmora::cli
