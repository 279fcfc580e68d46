// The campaign journal: an SQLite file that holds a campaign and the state of each of its batches,
// so that a later run knows what was sent even after the process was killed.

#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/campaign.hpp"

struct sqlite3;

namespace velmora::campaign {

/// The hex SHA-256 of `bytes`.
std::string sha256Hex(std::string_view bytes);

/// What a new run does with a batch it finds in a state.
enum class ResumeAction {
  Send,  ///< hand it to the library
  Skip,  ///< done: sent or refused
  List,  ///< may have been sent: name it and leave it alone
};

/// The rule of resuming: pending and unsent batches are sent, sent and refused ones skipped, and
/// those that may have reached the service (unknown, in-flight) only listed. A batch the service
/// said it does not know (not-found) is sent again only when the user asked for it.
ResumeAction onResume(BatchState state, bool resendUnknown);

/// A batch's new state and what its call left: the service code of a refusal, and the answer's
/// payload (sent) or the reason (failed).
struct BatchUpdate {
  std::size_t batch = 0;  ///< from 1
  BatchState state = BatchState::Pending;
  std::optional<long long> code;
  std::string detail;
  std::string groupMessageId;    ///< of a sent batch, from its answer or a lookup
  bool settledByLookup = false;  ///< sent or not-found because a lookup said so
  std::optional<double> ended;   ///< Unix seconds when its last call ended, when known
  /// How often it was sent again after the service did not know it: its calls since then carry
  /// `resentGroupId(groupId, resends)`, so that a first send recorded late can be told apart.
  long long resends = 0;
};

/// The delivery state of one recipient, as the last poll of its batch gave it.
struct Delivery {
  std::size_t batch = 0;  ///< from 1
  std::string mobile;     ///< as the batch holds it
  std::string messageId;  ///< the service's id of the message
  long long status = 0;   ///< the service's number for the state
};

/// The group id of a batch's calls after `resends` resends: "<groupId>-r<resends>", or the
/// batch's own group id before any.
std::string resentGroupId(const std::string& groupId, long long resends);

/// A batch as the journal keeps it from the start: the UserGroupID its calls carry and its
/// numbers, in order.
struct BatchContents {
  std::string groupId;
  std::vector<std::string> mobiles;
};

/// Everything a run needs from the journal: the campaign's id and every batch, the first first.
struct JournalContents {
  std::string campaignId;               ///< made when the journal was created
  std::vector<BatchUpdate> batches;     ///< the latest state of each
  std::vector<BatchContents> contents;  ///< whom each goes to, under which group id
};

/// What makes two runs the same campaign.
struct CampaignIdentity {
  std::string command;  ///< "send" or "send-each"
  std::string sender;
  std::string text;    ///< the text of "send"; empty for "send-each"
  std::string digest;  ///< of the recipients, in order, with their ids and texts
  std::size_t recipients = 0;
  std::size_t batchSize = 0;
};

/// The hex SHA-256 of the recipients in order, with their ids and texts.
std::string recipientsDigest(const std::vector<Recipient>& recipients);

/// Thrown when the journal cannot be used; `what()` is a printable sentence.
class JournalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Thrown when the journal holds another campaign; `what()` says what differs.
class JournalMismatch : public JournalError {
 public:
  using JournalError::JournalError;
};

/// An open journal, held by this process alone until destroyed (a second run on the same file is
/// refused). Every write is one transaction; once it returns, the death of this process cannot
/// undo it (a crash of the machine may undo the last ones). One thread at a time.
class Journal {
 public:
  /// Opens or creates the journal at `path`. Throws JournalError.
  explicit Journal(const std::string& path);
  ~Journal();
  Journal(Journal&& other) noexcept;
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  /// Starts or resumes `campaign`. A new journal records it under `campaignId` with `batches`,
  /// all pending. An existing one must hold the same campaign (else JournalMismatch) and every
  /// batch it was made with, unchanged (else JournalError); batches it finds in flight, left by a
  /// run that ended meanwhile, become unknown, their calls ended at `now` (Unix seconds). Returns
  /// what it holds.
  JournalContents begin(const CampaignIdentity& campaign, const std::string& campaignId,
                        const std::vector<BatchContents>& batches, double now);

  /// Opens `path` to read it alone: nothing is created or changed. Throws JournalError.
  static JournalContents read(const std::string& path);

  /// Records `updates` in one transaction. Throws JournalError, and then records none of them.
  void record(const std::vector<BatchUpdate>& updates);

  /// Opens an existing journal of a campaign to record its deliveries, while no run holds it.
  static Journal toRecordDeliveries(const std::string& path);

  /// Keeps `deliveries` as the last known state of their recipients, replacing earlier ones.
  void recordDeliveries(const std::vector<Delivery>& deliveries);

  /// The last known delivery state of every recipient that has one, by batch and number.
  static std::vector<Delivery> deliveries(const std::string& path);

 private:
  struct ReadOnly {};
  Journal(const std::string& path, ReadOnly);
  void execute(const char* sql);
  std::optional<CampaignIdentity> storedCampaign();
  void create(const CampaignIdentity& campaign, const std::string& campaignId,
              const std::vector<BatchContents>& batches);
  JournalContents load();
  void upgrade();
  void checkOutcomes();

  std::string path_;
  sqlite3* db_ = nullptr;
  // The statements of record(), prepared once: a campaign records thousands of transactions.
  std::unique_ptr<class JournalStatement> begin_;
  std::unique_ptr<JournalStatement> update_;
  std::unique_ptr<JournalStatement> commit_;
  std::unique_ptr<JournalStatement> log_;
  long long layout_ = 0;  // of the file, once storedCampaign() read it
};

}  // namespace velmora::campaign
