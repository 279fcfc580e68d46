// Asking the service about a campaign's batches by their group ids: whether an uncertain batch
// arrived, and whether a batch sent again arrived twice.

#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "calls.hpp"
#include "journal.hpp"

namespace velmora::campaign {

/// What a lookup needs besides the client.
struct Lookup {
  std::shared_ptr<Clock> clock;
  double waitSeconds = 630;  ///< for one call's completion
  Notice notice;
};

/// True for the states in which a batch may have reached the service unseen.
bool uncertain(BatchState state);

/// Asks the service whether each uncertain batch arrived, by its group id. Found: sent. Not
/// found, asked at least `settleSeconds` after the batch's call ended: the service does not know
/// it. Not found sooner, or an unreadable answer: still unknown, as a late request may yet
/// arrive. Stops at the first lookup without an answer, as the service is then out of reach for
/// the others too. Returns the batches that changed.
std::vector<BatchUpdate> settle(Velmora& client, const Lookup& lookup, double settleSeconds,
                                const std::vector<BatchContents>& contents,
                                const std::vector<BatchUpdate>& batches);

/// The batches delivered twice: sent again under a new group id after the service did not know
/// them, and now known under an earlier group id too (the first send was recorded late). Asks
/// the service once per earlier group id of each batch sent again; tells one line per batch
/// found. A lookup that fails says nothing either way.
std::vector<std::size_t> deliveredTwice(Velmora& client, const Lookup& lookup,
                                        const std::vector<BatchContents>& contents,
                                        const std::vector<BatchUpdate>& batches);

}  // namespace velmora::campaign
