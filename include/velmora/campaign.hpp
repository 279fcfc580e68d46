#pragma once

/// @file
/// Campaigns: one text to many numbers, or a text per recipient, sent in batches a few calls at
/// once, optionally kept in a journal (an SQLite file) so that a later run resumes without
/// sending any batch twice, settles the batches whose answers were lost by asking the service,
/// and follows the delivery of what was sent.
///
/// It lives in a library of its own, as it needs SQLite: link `Velmora::campaign`
/// (`find_package(Velmora REQUIRED COMPONENTS campaign)`) or use `pkg-config velmora-campaign`.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/campaign_export.h"
#include "velmora/client.hpp"

namespace velmora::campaign {

/// One recipient: its number and, for a text per recipient, its text and an id that names it
/// (empty when the campaign sends one text).
struct Recipient {
  std::string mobile;  ///< the number: an optional "+" and 3 to 15 ASCII digits
  std::string text;    ///< its own text; empty when the campaign sends one text to all
  std::string id;      ///< with a text per recipient: an id that names it
};

/// True for an optional "+" followed by 3 to 15 ASCII digits: a number a campaign sends to.
/// `run` refuses a campaign with any other recipient before sending anything.
/// @param text the number as written
/// @return whether a campaign takes it as it is
VELMORA_CAMPAIGN_EXPORT bool isPhoneNumber(std::string_view text);

/// Where a batch of a campaign stands.
enum class BatchState {
  Pending,   ///< not handed to the client yet
  InFlight,  ///< handed to the client; recorded before the hand-over
  Sent,      ///< the service accepted it
  Refused,   ///< the service refused it with a code; nothing was sent
  Unsent,    ///< the call failed before any byte of it left the process
  Unknown,   ///< the call failed after it may have reached the service, or the run ended meanwhile
  NotFound,  ///< uncertain, and a lookup long after its call ended found no send under its group id
};

/// The state's name in the journal and in printed lines ("in-flight", "not-found").
/// @param state a batch's state
/// @return its name, of static storage
VELMORA_CAMPAIGN_EXPORT std::string_view stateName(BatchState state);

/// Where a campaign reads the time. Wall-clock seconds, as the journal keeps them across runs:
/// when a batch's call ended, and so whether a lookup came late enough to settle it. Tests give a
/// clock of their own, so that settling and following need no sleeping. Called on the thread
/// that runs the campaign.
class VELMORA_CAMPAIGN_EXPORT Clock {
 public:
  virtual ~Clock();
  /// Now, in Unix seconds.
  /// @return the seconds since 1970-01-01 UTC, with their fraction
  virtual double now() = 0;
  /// Returns after `seconds` (a following pass waits between its polls).
  /// @param seconds how long to wait
  virtual void sleep(double seconds) = 0;
};

/// The system's clock: `std::chrono::system_clock` and a real sleep. Shared; any thread.
/// @return the one system clock
VELMORA_CAMPAIGN_EXPORT std::shared_ptr<Clock> systemClock();

/// Recipients handled so far by this run, of those it set out to handle.
struct Progress {
  std::size_t done = 0;   ///< recipients whose batch has an outcome (or, following, final messages)
  std::size_t total = 0;  ///< recipients this run set out to handle (or, following, messages)
};

/// What a campaign is and how it is sent. A plain value.
struct Settings {
  std::string sender;  ///< the line to send from
  /// The one text of every recipient (SendMessage). Empty: each recipient's own text, by its id
  /// (SendCorrespondingMessage).
  std::string text;
  std::int64_t at = 0;      ///< with one text: when the service sends it (Unix seconds); 0 now
  std::string groupPrefix;  ///< put before each batch's group id ("<prefix>-<campaign>-<batch>")
  std::string journal;      ///< the journal file; empty: none, and nothing resumes
  std::size_t batchSize = 100;  ///< recipients per call, 1 to 1000
  std::size_t inFlight = 8;     ///< calls under way at once, 1 to 64
  /// Seconds after a batch's call ended from which the service's not knowing its group id means
  /// that it never arrived (not-found). Sooner, it may still arrive: a late request is possible.
  double settleSeconds = 60;
  bool resendUnknown = false;  ///< send again the not-found batches, under a new group id
  bool resendRefused = false;  ///< send again the batches refused for their own recipients
  /// How long to wait for one call's completion; past it the batch counts as unknown. Keep it
  /// above the client's deadline: the client ends every call by then.
  double callWaitSeconds = 630;
  std::shared_ptr<Clock> clock;  ///< null: systemClock()
  /// Lines for the operator (what resumes, what is left alone, why the campaign stopped). Called
  /// on the thread that runs the campaign; null: none.
  std::function<void(const std::string& line)> onNotice;
  /// Called after each step of the run, on its thread; null: none.
  std::function<void(const Progress& progress)> onProgress;
  /// Asked between steps (at least every 100 ms); true stops the run: no further batch starts
  /// and those under way are waited for. Null: never.
  std::function<bool()> stopRequested;
};

/// Batches counted by state; refused ones by the service's code name (its number when this
/// version knows no name).
struct StateCounts {
  std::size_t sent = 0;      ///< accepted by the service, or found by their group id
  std::size_t unknown = 0;   ///< that may have reached the service, with those left in flight
  std::size_t unsent = 0;    ///< whose call failed before any byte of it left
  std::size_t pending = 0;   ///< not handed to the client yet
  std::size_t notFound = 0;  ///< uncertain, and unknown to the service long after their call
  std::map<std::string, std::size_t> refused;  ///< by the refusal's code name, or its number
};

/// How a run ended, the most pressing first.
enum class End {
  Stopped,           ///< `stopRequested` said so; run again to resume
  DeliveredTwice,    ///< a batch sent again was found under its first group id too
  StoppedByRefusal,  ///< a refusal every batch would get (`stoppedBy`); fix it and run again
  Open,              ///< some batches unknown, unsent, pending or not found, or the journal failed
  Refused,           ///< every batch settled; some refused for their own recipients
  Sent,              ///< every batch sent
  Unusable,          ///< nothing was sent: the input or the journal cannot be used (`problem`)
};

/// What a run did and where the campaign stands.
struct Summary {
  End end = End::Unusable;     ///< how the run ended; the first thing to look at
  std::string problem;         ///< with End::Unusable (or a run cut short): why
  std::string campaignId;      ///< eight hex digits, kept in the journal
  std::size_t recipients = 0;  ///< of the campaign, as given
  std::size_t batches = 0;     ///< of the campaign: the recipients cut by `Settings::batchSize`
  StateCounts all;             ///< every batch of the campaign
  StateCounts thisRun;         ///< the batches this run started or settled by a lookup
  std::vector<std::size_t> unknownBatches;  ///< that may have reached the service, from 1
  std::vector<std::size_t> deliveredTwice;  ///< whose first send arrived beside a resend
  std::size_t settledSent = 0;              ///< found sent by their group id in this run
  std::size_t settledNotFound = 0;          ///< found unknown to the service in this run
  std::size_t settled = 0;             ///< batches no later run sends: sent, or refused for good
  std::optional<long long> stoppedBy;  ///< the code of the refusal that stopped the campaign
  bool journalFailed = false;          ///< the journal failed during the run
};

/// Sends `recipients` through `client` in batches, on the calling thread, until every batch is
/// handled or `settings.stopRequested` says stop. Each batch goes out under a group id of its
/// own; batches that may have reached the service are looked up by it at the start and at the
/// end of a run. With a journal, a second run of the same campaign resumes it: sent and refused
/// batches are skipped; those that may have arrived are only named; a refusal about the account
/// or the service is sent again. Never throws; `client` must outlive the call.
/// @param client the client to send through, with its own limits and retries
/// @param recipients every recipient of the campaign, the same list on every run of it
/// @param settings what the campaign is and how it is sent
/// @return what the run did and where the campaign stands
VELMORA_CAMPAIGN_EXPORT Summary run(Velmora& client, const std::vector<Recipient>& recipients,
                                    const Settings& settings);

/// True when the service's refusal `code` would refuse every batch of a campaign alike: about the
/// account, its sender line, its credit or the service, a code this version does not know, or the
/// text when every batch carries the same one (`oneText`).
/// @param code the service's result code, as sent
/// @param oneText whether every batch carries the same text (`Settings::text` set)
/// @return whether the refusal is about the whole campaign rather than one batch
VELMORA_CAMPAIGN_EXPORT bool campaignWide(long long code, bool oneText);

/// How `follow` polls.
struct FollowSettings {
  bool wait = false;             ///< poll until every message is final, else once
  double every = 5;              ///< seconds between two polls
  double limit = 600;            ///< seconds after which waiting gives up
  double callWaitSeconds = 630;  ///< as in Settings
  std::shared_ptr<Clock> clock;  ///< null: systemClock()
  std::function<void(const std::string& line)> onNotice;  ///< as in Settings
  /// Messages in a final state of all after each pass, on the calling thread; null: none.
  std::function<void(const Progress& progress)> onProgress;
};

/// How a following ended, the most pressing first.
enum class FollowEnd {
  Unusable,        ///< the journal cannot be read (`problem`)
  DeliveredTwice,  ///< a batch sent again was found under its first group id too
  PollRefused,     ///< the service refused a poll (it would refuse every one)
  NotFinal,        ///< some messages are not in a final state yet
  Open,            ///< some batches were never sent or may have been
  Undelivered,     ///< every message final, some not delivered, or some batches refused
  Delivered,       ///< every message delivered
};

/// The delivery of a campaign's sent batches.
struct FollowSummary {
  FollowEnd end = FollowEnd::Unusable;             ///< how the following ended
  std::string problem;                             ///< with FollowEnd::Unusable: why, one sentence
  std::size_t batches = 0;                         ///< of the campaign
  std::size_t followed = 0;                        ///< sent batches with a group message id
  std::map<std::string, std::size_t> notFollowed;  ///< the other batches by state name
  std::size_t messages = 0;                        ///< of the followed batches, one per recipient
  std::size_t final = 0;                           ///< in a final delivery state
  std::size_t delivered = 0;                       ///< delivered (`Sended`)
  std::map<std::string, std::size_t> states;  ///< messages by state name; "unread" before a poll
  std::vector<std::size_t> deliveredTwice;    ///< batches whose first send arrived beside a resend
};

/// Polls the delivery state of every batch the journal at `journal` records as sent, records
/// each message's state in the journal (for `report`) and looks for batches delivered twice.
/// Needs no run to hold the journal. Calling thread; never throws.
/// @param client the client to poll through
/// @param journal the path of the campaign's journal
/// @param settings how to poll
/// @return the delivery of the campaign's messages, counted
VELMORA_CAMPAIGN_EXPORT FollowSummary follow(Velmora& client, const std::string& journal,
                                             const FollowSettings& settings);

/// A batch as the journal keeps it.
struct BatchRecord {
  std::size_t batch = 0;                   ///< from 1
  BatchState state = BatchState::Pending;  ///< its latest state
  std::string groupId;                     ///< the group id of its first call
  long long resends = 0;                   ///< sends after the service did not know it
  std::string groupMessageId;              ///< of a sent batch
  std::vector<std::string> mobiles;        ///< its recipients' numbers, in order
};

/// A campaign's journal, read.
struct Record {
  std::string campaignId;            ///< eight hex digits
  std::vector<BatchRecord> batches;  ///< every batch, the first first
};

/// One recipient of a journal's campaign and what is known of it.
struct RecipientReport {
  std::size_t batch = 0;  ///< its batch, from 1
  std::string groupId;    ///< of its batch's last call
  std::string mobile;     ///< its number
  std::string messageId;  ///< after `follow`; empty before
  /// The delivery state's name after `follow` (its number when this version knows no name),
  /// else the batch's state name.
  std::string state;
  std::optional<long long> status;  ///< the service's number of the delivery state
};

/// A value read from a journal, or why it could not be.
template <class T>
struct Read {
  std::optional<T> value;  ///< what was read; absent when it could not be
  std::string error;       ///< one sentence, when `value` is absent
  /// True when the value was read.
  explicit operator bool() const noexcept { return value.has_value(); }
};

/// Reads the journal at `path` without changing it. Never throws.
/// @param path the journal file
/// @return its campaign and batches, or why they cannot be read
VELMORA_CAMPAIGN_EXPORT Read<Record> read(const std::string& path);

/// Every recipient of the journal at `path`, batch by batch. Never throws.
/// @param path the journal file
/// @return one entry per recipient, or why the journal cannot be read
VELMORA_CAMPAIGN_EXPORT Read<std::vector<RecipientReport>> report(const std::string& path);

}  // namespace velmora::campaign
