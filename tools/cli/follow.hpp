// Subcommands that repeat a call: a send's delivery states until they are final, and every
// page of an inbox.

#pragma once

#include <cstdint>
#include <string>

#include "cli.hpp"

namespace velmora::cli {

/// How `status --wait` polls.
struct WaitLimits {
  double every = 5;    ///< seconds between two polls
  double limit = 600;  ///< seconds after which it gives up (exit 4)
};

/// Polls GroupMessageStatus until every message is in a final state (`isFinal`); prints the
/// last answer. Shows progress on standard error when it is a
/// terminal. Main thread; returns the exit status.
int waitForStatus(Velmora& client, const Settings& settings, const std::string& groupMessageId,
                  const WaitLimits& limits);

/// Follows the delivery of every batch that the campaign journal at `journal` records as sent,
/// by its group message id: one pass, or with `wait` passes every `limits.every` seconds until
/// every message is final or `limits.limit` passed. Reads the journal alone (no input file), so
/// no run may hold it. Shows progress on standard error when it is a terminal and prints one
/// JSON summary by delivery state. Main thread; returns the exit status: 0 every message
/// delivered, 1 some ended undelivered (or a batch was refused), 2 some batches were never sent
/// or may not have been, 4 some messages not final, 64 an unusable journal.
int followCampaign(Velmora& client, const Settings& settings, const std::string& journal,
                   const WaitLimits& limits, bool wait);

/// What `inbox --all` reads.
struct InboxPages {
  std::string line;
  std::int64_t start = 0;
  std::int64_t end = 0;
  std::int64_t firstPage = 1;
  std::int64_t maxPages = 1000;
};

/// Reads ReceiveMessages pages from `firstPage` until an empty one (at most `maxPages`) and
/// prints one answer whose Result joins them. Main thread; returns the exit status.
int readAllPages(Velmora& client, const Settings& settings, const InboxPages& pages);

}  // namespace velmora::cli
