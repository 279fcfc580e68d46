// Campaigns: one text to the numbers of files ("send --to @FILE") or a text per row of a CSV file
// ("send-each --csv FILE"), in batches, a few calls at once, optionally kept in a journal so that
// a later run resumes without sending any batch twice.

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli.hpp"
#include "recipients.hpp"

namespace velmora::cli {

/// The campaign flags, after parsing. A plain value.
struct CampaignSettings {
  std::size_t batchSize = 100;  ///< recipients per call
  std::size_t inFlight = 8;     ///< calls under way at once
  std::string journal;          ///< the journal file; empty: none
  bool resendUnknown = false;   ///< send again the batches the service does not know
  bool resendRefused = false;   ///< send again the batches refused for their own recipients
  double settle = 60;           ///< seconds after a call from which "not known" means not-found
  bool allowRepeats = false;    ///< send-each: send the first of rows that disagree
};

/// Registers --batch, --in-flight, --journal, --resend-unknown, --resend-refused and --settle on
/// `command`, bound to
/// `settings`, which must outlive the parse.
void addCampaignOptions(CLI::App& command, CampaignSettings& settings);

/// What a campaign is made of: the flags of "send" (`text`, `to`) or "send-each" (`csv`).
struct CampaignRequest {
  std::string command;          ///< "send" or "send-each"
  std::string sender;           ///< the line to send from
  std::string text;             ///< send: the one text
  std::vector<std::string> to;  ///< send: numbers, and "@FILE" files of numbers ("@-" stdin)
  std::string csv;              ///< send-each: the CSV file ("-" stdin)
  std::string group;            ///< the prefix of each batch's UserGroupID
  std::int64_t at = 0;          ///< send: the send time
  CampaignSettings campaign;
};

/// The status when a batch sent again after settling was found delivered twice.
inline constexpr int kDeliveredTwice = 6;

/// True when "send" must run as a campaign: a recipient names a file, or a journal is given.
bool isCampaign(const std::vector<std::string>& to, const CampaignSettings& campaign);

/// Reads `request`'s recipients and sends them in batches through `client` on the calling
/// thread, until every batch is handled or SIGINT or SIGTERM stops it (caught while it runs).
/// Each batch goes out under a group id of its own; batches that may have reached the service
/// are looked up by it on resume and at the end of a run.
/// Prints problems on standard error and the summary as one JSON object on standard output;
/// returns the exit status: 0 every batch sent, 1 some refused, 2 some unknown, not-found,
/// unsent or not started, or the journal failed, 6 a batch delivered twice (`deliveredTwice`),
/// 5 stopped by a refusal that every batch would
/// get (the account, its line, its credit, the one text, the service: see refusals.hpp), 64 a
/// journal of another campaign or an unreadable file, 65 malformed input or rows that disagree
/// (nothing sent), 130 stopped by a signal.
int runCampaign(Velmora& client, const Settings& settings, const CampaignRequest& request);

/// The state names that `campaign report --state` takes: the delivery states, then the batch
/// states (which `campaign show --state` takes).
std::vector<std::string> reportStates();

/// Registers `campaign show JOURNAL [--state STATE]...`, which prints a journal's batches as one
/// JSON object, each with its state, group ids and numbers; it needs no account. Call once.
void addCampaignShow(CLI::App& app);

}  // namespace velmora::cli
