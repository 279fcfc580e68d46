#include "journal.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

namespace velmora::campaign {
namespace {

constexpr std::array<std::string_view, 7> kStateNames = {
    "pending", "in-flight", "sent", "refused", "unsent", "unknown", "not-found"};

// "VLMJ": marks the file as a journal of this program.
constexpr int kApplicationId = 0x564C4D4A;
// The layout below; journals of an earlier layout are refused rather than guessed at, except the
// one before, which gains the outcome log when a run opens it.
constexpr int kLayout = 3;
constexpr int kLayoutWithoutLog = 2;

constexpr const char* kSchema = R"sql(
CREATE TABLE campaign (
  id INTEGER PRIMARY KEY CHECK (id = 1),
  command TEXT NOT NULL,
  sender TEXT NOT NULL,
  text TEXT NOT NULL,
  digest TEXT NOT NULL,
  recipients INTEGER NOT NULL,
  batch_size INTEGER NOT NULL,
  campaign_id TEXT NOT NULL,
  batches INTEGER NOT NULL,
  batches_digest TEXT NOT NULL,
  created TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ', 'now'))
);
CREATE TABLE batch (
  id INTEGER PRIMARY KEY,
  state TEXT NOT NULL CHECK (state IN ('pending', 'in-flight', 'sent', 'refused', 'unsent',
                                       'unknown', 'not-found')),
  group_id TEXT NOT NULL,
  mobiles TEXT NOT NULL,
  attempts INTEGER NOT NULL DEFAULT 0,
  code INTEGER,
  detail TEXT,
  group_message_id TEXT,
  settled_by_lookup INTEGER NOT NULL DEFAULT 0,
  ended REAL,
  updated TEXT,
  resends INTEGER NOT NULL DEFAULT 0
);
)sql";

// Every state a batch was put in by a run, in order: a batch whose state is not the last one
// logged for it was edited by hand (a sent batch set back to pending would be sent twice). The
// log itself takes no change but additions.
constexpr const char* kOutcomeLog = R"sql(
CREATE TABLE outcome (
  batch INTEGER NOT NULL,
  state TEXT NOT NULL
);
CREATE INDEX outcome_of_batch ON outcome (batch);
CREATE TRIGGER outcome_not_updated BEFORE UPDATE ON outcome
BEGIN SELECT RAISE(ABORT, 'the outcome log takes additions only'); END;
CREATE TRIGGER outcome_not_deleted BEFORE DELETE ON outcome
BEGIN SELECT RAISE(ABORT, 'the outcome log takes additions only'); END;
CREATE TABLE message (
  batch INTEGER NOT NULL,
  mobile TEXT NOT NULL,
  message_id TEXT NOT NULL,
  status INTEGER NOT NULL,
  PRIMARY KEY (batch, mobile)
);
)sql";

std::string joined(const std::vector<std::string>& mobiles) {
  std::string out;
  for (const std::string& m : mobiles) out += (out.empty() ? "" : "\n") + m;
  return out;
}

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    out.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

// Each field behind its length, so that no two different lists of batches give the same bytes.
std::string batchesDigest(const std::vector<BatchContents>& batches) {
  std::string bytes;
  for (const BatchContents& b : batches) {
    for (const std::string& field : {b.groupId, joined(b.mobiles)}) {
      bytes += std::to_string(field.size()) + ':' + field;
    }
  }
  return sha256Hex(bytes);
}

BatchState stateFromName(const std::string& name) {
  for (std::size_t i = 0; i < kStateNames.size(); ++i) {
    if (kStateNames[i] == name) return static_cast<BatchState>(i);
  }
  throw JournalError("a batch is in the state \"" + name + "\", which this program does not know");
}

// The first field in which `stored` and `wanted` differ, as the user knows it; empty when none.
std::string difference(const CampaignIdentity& stored, const CampaignIdentity& wanted) {
  if (stored.command != wanted.command) return "it was written by \"" + stored.command + "\"";
  if (stored.sender != wanted.sender) return "its sender line is " + stored.sender;
  if (stored.text != wanted.text) return "its text differs";
  if (stored.digest != wanted.digest || stored.recipients != wanted.recipients) {
    return "its recipients differ (" + std::to_string(stored.recipients) + " recipients then, " +
           std::to_string(wanted.recipients) + " now)";
  }
  if (stored.batchSize != wanted.batchSize) {
    return "it was written with --batch " + std::to_string(stored.batchSize);
  }
  return {};
}

// Refuses what cannot hold a journal before SQLite opens it, with the cause: SQLite would
// write its side files next to a device (a "/dev/null-journal"), or fall back to reading a file
// it cannot write and report "disk I/O error" later. A missing journal is made readable by its
// owner only, since it holds the numbers and texts; SQLite gives its side files the same mode.
void prepareFile(const std::string& path) {
  const std::string folder = path.find('/') == std::string::npos
                                 ? std::string(".")
                                 : path.substr(0, std::max<std::size_t>(path.rfind('/'), 1));
  if (::access(folder.c_str(), W_OK) != 0) {
    throw JournalError("cannot write the folder " + folder + " of the journal " + path + ": " +
                       std::strerror(errno));
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode)) {
      throw JournalError("the journal " + path + " is not a regular file; name a journal file");
    }
    if (::access(path.c_str(), R_OK | W_OK) != 0) {
      throw JournalError("cannot write the journal " + path + ": " + std::strerror(errno));
    }
    return;
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) throw JournalError("cannot create the journal " + path + ": " + std::strerror(errno));
  ::close(fd);
}

std::string layoutProblem(const std::string& path, long long layout) {
  return "the journal " + path + " was written by " +
         (layout < kLayout ? "an earlier" : "a later") +
         " version of velmora; resume it with that version, or use a new journal file";
}

// SQLite's reason, with the operating system's when there is one.
std::string reason(sqlite3* db, const std::string& sqliteReason) {
  const int error = db != nullptr ? sqlite3_system_errno(db) : 0;
  return error == 0 ? sqliteReason : sqliteReason + " (" + std::strerror(error) + ")";
}

}  // namespace

// One prepared statement, finalized on every path.
class JournalStatement {
 public:
  JournalStatement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) fail();
  }
  ~JournalStatement() { sqlite3_finalize(statement_); }
  JournalStatement(const JournalStatement&) = delete;
  JournalStatement& operator=(const JournalStatement&) = delete;

  JournalStatement& bind(int index, std::string_view text) {
    check(sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }
  JournalStatement& bind(int index, long long value) {
    check(sqlite3_bind_int64(statement_, index, value));
    return *this;
  }
  JournalStatement& bind(int index, std::optional<long long> value) {
    check(value ? sqlite3_bind_int64(statement_, index, *value)
                : sqlite3_bind_null(statement_, index));
    return *this;
  }
  JournalStatement& bind(int index, std::optional<double> value) {
    check(value ? sqlite3_bind_double(statement_, index, *value)
                : sqlite3_bind_null(statement_, index));
    return *this;
  }

  // Runs one step: true when a row is there to read.
  bool step() {
    const int status = sqlite3_step(statement_);
    if (status == SQLITE_ROW) return true;
    if (status == SQLITE_DONE) return false;
    const std::string why = reason(db_, sqlite3_errmsg(db_));
    sqlite3_reset(statement_);
    throw JournalError(why);
  }
  // Runs the statement to its end and makes it ready for new values.
  void run() {
    while (step()) {
    }
    sqlite3_reset(statement_);
  }

  long long integer(int column) { return sqlite3_column_int64(statement_, column); }
  std::optional<long long> optionalInteger(int column) {
    if (sqlite3_column_type(statement_, column) == SQLITE_NULL) return std::nullopt;
    return integer(column);
  }
  std::optional<double> optionalReal(int column) {
    if (sqlite3_column_type(statement_, column) == SQLITE_NULL) return std::nullopt;
    return sqlite3_column_double(statement_, column);
  }
  std::string text(int column) {
    const auto* bytes = sqlite3_column_text(statement_, column);
    return bytes == nullptr ? std::string() : reinterpret_cast<const char*>(bytes);
  }

 private:
  void check(int status) {
    if (status != SQLITE_OK) fail();
  }
  [[noreturn]] void fail() { throw JournalError(reason(db_, sqlite3_errmsg(db_))); }

  sqlite3* db_;
  sqlite3_stmt* statement_ = nullptr;
};

std::string sha256Hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out.push_back(kHex[digest[i] >> 4]);
    out.push_back(kHex[digest[i] & 0x0F]);
  }
  return out;
}

std::string_view stateName(BatchState state) {
  return kStateNames[static_cast<std::size_t>(state)];
}

std::string resentGroupId(const std::string& groupId, long long resends) {
  return resends == 0 ? groupId : groupId + "-r" + std::to_string(resends);
}

ResumeAction onResume(BatchState state, bool resendUnknown) {
  switch (state) {
    case BatchState::Pending:
    case BatchState::Unsent:
      return ResumeAction::Send;
    case BatchState::Sent:
    case BatchState::Refused:
      return ResumeAction::Skip;
    case BatchState::InFlight:
    case BatchState::Unknown:
      return ResumeAction::List;
    case BatchState::NotFound:
      break;
  }
  return resendUnknown ? ResumeAction::Send : ResumeAction::List;
}

Journal::Journal(const std::string& path) : path_(path) {
  prepareFile(path);
  const int status =
      sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (status != SQLITE_OK) {
    const std::string why = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(status);
    sqlite3_close(db_);
    throw JournalError("cannot open the journal " + path + ": " + why);
  }
  try {
    // The lock is taken by the first write below and held until the file is closed, so that two
    // runs never hand the same batch to the service. The process's death releases it.
    execute("PRAGMA locking_mode = EXCLUSIVE");
    execute("PRAGMA journal_mode = WAL");
    // A commit is in the operating system's hands when it returns, so killing this process at
    // any moment loses nothing. Only a crash of the machine itself may lose the last commits;
    // syncing each one to the disk would cost a few milliseconds per batch.
    execute("PRAGMA synchronous = NORMAL");
    // Room for every page of a large campaign, so that no page is read back from the file, and
    // a log that is copied back into the file (a disk flush) every 16 MiB rather than 4 MiB.
    execute("PRAGMA cache_size = -65536");
    execute("PRAGMA wal_autocheckpoint = 4096");
    execute("BEGIN IMMEDIATE");
    execute("COMMIT");
  } catch (const JournalError& e) {
    const bool busy = sqlite3_errcode(db_) == SQLITE_BUSY;
    const std::string why = reason(db_, e.what());
    sqlite3_close(db_);
    throw JournalError(busy ? "the journal " + path + " is in use by another run"
                            : "cannot use the journal " + path + ": " + why);
  }
}

Journal::Journal(const std::string& path, ReadOnly) : path_(path) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    const std::string why = reason(db_, sqlite3_errmsg(db_));
    sqlite3_close(db_);
    throw JournalError("cannot read the journal " + path + ": " + why);
  }
}

Journal::~Journal() {
  begin_.reset();
  update_.reset();
  log_.reset();
  commit_.reset();
  sqlite3_close(db_);
}

void Journal::execute(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return;
  const std::string why = reason(db_, message != nullptr ? message : sqlite3_errmsg(db_));
  sqlite3_free(message);
  throw JournalError(why);
}

JournalContents Journal::begin(const CampaignIdentity& campaign, const std::string& campaignId,
                               const std::vector<BatchContents>& batches, double now) {
  const std::optional<CampaignIdentity> stored = storedCampaign();
  if (!stored) {
    create(campaign, campaignId, batches);
  } else if (const std::string why = difference(*stored, campaign); !why.empty()) {
    throw JournalMismatch("the journal " + path_ + " holds another campaign: " + why +
                          "; use a new journal file for a new campaign");
  }
  if (layout_ == kLayoutWithoutLog) upgrade();
  JournalContents contents = load();
  // The run that left a batch in flight is over, so its call ended by now at the latest.
  execute(
      "INSERT INTO outcome (batch, state) SELECT id, 'unknown' FROM batch "
      "WHERE state = 'in-flight'");
  JournalStatement orphans(db_,
                           "UPDATE batch SET state = 'unknown', ended = ?, "
                           "detail = 'the run ended while it was in flight' "
                           "WHERE state = 'in-flight'");
  orphans.bind(1, std::optional<double>(now)).run();
  for (BatchUpdate& b : contents.batches) {
    if (b.state != BatchState::InFlight) continue;
    b.state = BatchState::Unknown;
    b.ended = now;
    b.detail = "the run ended while it was in flight";
  }
  return contents;
}

Journal::Journal(Journal&& other) noexcept
    : path_(std::move(other.path_)),
      db_(std::exchange(other.db_, nullptr)),
      begin_(std::move(other.begin_)),
      update_(std::move(other.update_)),
      commit_(std::move(other.commit_)),
      log_(std::move(other.log_)),
      layout_(other.layout_) {}

Journal Journal::toRecordDeliveries(const std::string& path) {
  // Checked first: opening would make an empty journal where there is none.
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    throw JournalError("cannot read the journal " + path + ": " + std::strerror(errno));
  }
  Journal journal(path);
  if (!journal.storedCampaign()) throw JournalError("the journal " + path + " is empty");
  if (journal.layout_ == kLayoutWithoutLog) journal.upgrade();
  journal.load();  // refuses a journal that was cut or edited
  return journal;
}

void Journal::recordDeliveries(const std::vector<Delivery>& deliveries) {
  JournalStatement insert(db_,
                          "INSERT OR REPLACE INTO message (batch, mobile, message_id, status) "
                          "VALUES (?, ?, ?, ?)");
  execute("BEGIN IMMEDIATE");
  try {
    for (const Delivery& d : deliveries) {
      insert.bind(1, static_cast<long long>(d.batch))
          .bind(2, d.mobile)
          .bind(3, d.messageId)
          .bind(4, d.status)
          .run();
    }
    execute("COMMIT");
  } catch (const JournalError&) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

std::vector<Delivery> Journal::deliveries(const std::string& path) {
  Journal journal(path, ReadOnly{});
  if (!journal.storedCampaign()) throw JournalError("the journal " + path + " is empty");
  std::vector<Delivery> out;
  if (journal.layout_ != kLayout) return out;  // no run or poll has recorded any yet
  JournalStatement select(journal.db_,
                          "SELECT batch, mobile, message_id, status FROM message ORDER BY batch");
  while (select.step()) {
    out.push_back({static_cast<std::size_t>(select.integer(0)), select.text(1), select.text(2),
                   select.integer(3)});
  }
  return out;
}

JournalContents Journal::read(const std::string& path) {
  Journal journal(path, ReadOnly{});
  if (!journal.storedCampaign()) throw JournalError("the journal " + path + " is empty");
  return journal.load();
}

std::optional<CampaignIdentity> Journal::storedCampaign() {
  JournalStatement id(db_, "PRAGMA application_id");
  const bool ours = id.step() && id.integer(0) == kApplicationId;
  JournalStatement tables(db_, "SELECT count(*) FROM sqlite_schema");
  const bool empty = tables.step() && tables.integer(0) == 0;
  if (empty) return std::nullopt;
  if (!ours) throw JournalError(path_ + " is not a journal of velmora");
  JournalStatement layout(db_, "PRAGMA user_version");
  layout_ = layout.step() ? layout.integer(0) : 0;
  if (layout_ != kLayout && layout_ != kLayoutWithoutLog) {
    throw JournalError(layoutProblem(path_, layout_));
  }
  JournalStatement row(
      db_, "SELECT command, sender, text, digest, recipients, batch_size FROM campaign");
  if (!row.step()) throw JournalError("the journal " + path_ + " holds no campaign");
  return CampaignIdentity{row.text(0),
                          row.text(1),
                          row.text(2),
                          row.text(3),
                          static_cast<std::size_t>(row.integer(4)),
                          static_cast<std::size_t>(row.integer(5))};
}

void Journal::create(const CampaignIdentity& campaign, const std::string& campaignId,
                     const std::vector<BatchContents>& batches) {
  execute("BEGIN IMMEDIATE");
  try {
    execute(("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str());
    execute(("PRAGMA user_version = " + std::to_string(kLayout)).c_str());
    execute(kSchema);
    execute(kOutcomeLog);
    layout_ = kLayout;
    JournalStatement insert(db_,
                            "INSERT INTO campaign (id, command, sender, text, digest, recipients, "
                            "batch_size, campaign_id, batches, batches_digest) "
                            "VALUES (1, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    insert.bind(1, campaign.command)
        .bind(2, campaign.sender)
        .bind(3, campaign.text)
        .bind(4, campaign.digest)
        .bind(5, static_cast<long long>(campaign.recipients))
        .bind(6, static_cast<long long>(campaign.batchSize))
        .bind(7, campaignId)
        .bind(8, static_cast<long long>(batches.size()))
        .bind(9, batchesDigest(batches))
        .run();
    JournalStatement batch(
        db_, "INSERT INTO batch (id, state, group_id, mobiles) VALUES (?, 'pending', ?, ?)");
    for (std::size_t i = 0; i < batches.size(); ++i) {
      batch.bind(1, static_cast<long long>(i + 1))
          .bind(2, batches[i].groupId)
          .bind(3, joined(batches[i].mobiles))
          .run();
    }
    execute("COMMIT");
  } catch (const JournalError&) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

// A journal of the layout before: the states as they stand are the outcome log's first entries.
void Journal::upgrade() {
  execute("BEGIN IMMEDIATE");
  try {
    execute(kOutcomeLog);
    execute("ALTER TABLE batch ADD COLUMN resends INTEGER NOT NULL DEFAULT 0");
    execute(
        "INSERT INTO outcome (batch, state) SELECT id, state FROM batch "
        "WHERE state != 'pending'");
    execute(("PRAGMA user_version = " + std::to_string(kLayout)).c_str());
    execute("COMMIT");
    layout_ = kLayout;
  } catch (const JournalError&) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

// Refuses a journal whose batch states are not the last ones its runs logged.
void Journal::checkOutcomes() {
  if (layout_ != kLayout) return;  // read without a run, before a run added the log
  JournalStatement select(
      db_,
      "SELECT id, state, coalesce((SELECT state FROM outcome WHERE batch = "
      "batch.id ORDER BY rowid DESC LIMIT 1), 'pending') FROM batch ORDER BY id");
  while (select.step()) {
    const std::string logged = select.text(2);
    if (select.text(1) == logged) continue;
    throw JournalError("batch " + std::to_string(select.integer(0)) + " of the journal " + path_ +
                       " is " + select.text(1) + ", but its runs left it " + logged +
                       "; it was edited, so it cannot tell what was sent");
  }
}

// Every batch as recorded. The rows must be exactly those the journal was made with: a row
// lost or changed would otherwise be sent again, or not at all, without a word.
JournalContents Journal::load() {
  JournalStatement stored(db_, "SELECT campaign_id, batches, batches_digest FROM campaign");
  stored.step();
  JournalContents out{stored.text(0), {}, {}};
  JournalStatement select(db_,
                          "SELECT id, state, code, detail, group_message_id, settled_by_lookup, "
                          "ended, group_id, mobiles, resends FROM batch ORDER BY id");
  while (select.step()) {
    const auto batch = static_cast<std::size_t>(select.integer(0));
    if (batch != out.batches.size() + 1) {
      throw JournalError("the journal " + path_ + " misses batch " +
                         std::to_string(out.batches.size() + 1));
    }
    out.batches.push_back({batch, stateFromName(select.text(1)), select.optionalInteger(2),
                           select.text(3), select.text(4), select.integer(5) != 0,
                           select.optionalReal(6), select.integer(9)});
    out.contents.push_back({select.text(7), split(select.text(8))});
  }
  const auto count = static_cast<std::size_t>(stored.integer(1));
  if (out.batches.size() != count) {
    throw JournalError("the journal " + path_ + " holds " + std::to_string(out.batches.size()) +
                       " batches of the " + std::to_string(count) +
                       " it was made with; it was cut or changed, so it cannot tell what was sent");
  }
  if (batchesDigest(out.contents) != stored.text(2)) {
    throw JournalError("the recipients or group ids of the batches in the journal " + path_ +
                       " were changed after it was made; it cannot tell what was sent");
  }
  checkOutcomes();
  return out;
}

void Journal::record(const std::vector<BatchUpdate>& updates) {
  if (updates.empty()) return;
  if (!update_) {
    begin_ = std::make_unique<JournalStatement>(db_, "BEGIN IMMEDIATE");
    commit_ = std::make_unique<JournalStatement>(db_, "COMMIT");
    update_ = std::make_unique<JournalStatement>(
        db_,
        "UPDATE batch SET state = ?1, code = ?2, detail = ?3, group_message_id = ?4, "
        "settled_by_lookup = ?5, ended = ?6, attempts = attempts + (?1 = 'in-flight'), "
        "resends = ?8, "
        "updated = strftime('%Y-%m-%dT%H:%M:%fZ', 'now') WHERE id = ?7");
    log_ =
        std::make_unique<JournalStatement>(db_, "INSERT INTO outcome (batch, state) VALUES (?, ?)");
  }
  begin_->run();
  try {
    for (const BatchUpdate& u : updates) {
      update_->bind(1, stateName(u.state))
          .bind(2, u.code)
          .bind(3, u.detail)
          .bind(4, u.groupMessageId)
          .bind(5, static_cast<long long>(u.settledByLookup))
          .bind(6, u.ended)
          .bind(7, static_cast<long long>(u.batch))
          .bind(8, u.resends)
          .run();
      log_->bind(1, static_cast<long long>(u.batch)).bind(2, stateName(u.state)).run();
    }
    commit_->run();
  } catch (const JournalError&) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

}  // namespace velmora::campaign
