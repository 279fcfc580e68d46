#include "lookups.hpp"

#include "velmora/answers.hpp"

namespace velmora::campaign {

bool uncertain(BatchState state) {
  return state == BatchState::Unknown || state == BatchState::InFlight;
}

std::vector<BatchUpdate> settle(Velmora& client, const Lookup& lookup, double settleSeconds,
                                const std::vector<BatchContents>& contents,
                                const std::vector<BatchUpdate>& batches) {
  std::vector<BatchUpdate> changed;
  for (const BatchUpdate& b : batches) {
    if (!uncertain(b.state)) continue;
    const double asked = lookup.clock->now();
    const Outcome<GroupMessageId> looked = awaitCall<Outcome<GroupMessageId>>(
        lookup.waitSeconds, [&](OutcomeCompletion<GroupMessageId> done) {
          client.groupMessageId(resentGroupId(contents[b.batch - 1].groupId, b.resends),
                                std::move(done));
        });
    BatchUpdate update = b;
    update.state = BatchState::Unknown;
    update.settledByLookup = true;
    if (looked) {
      update.state = BatchState::Sent;
      update.groupMessageId = looked.value.id;
      update.detail = "found by its group id";
    } else if (looked.failure->kind != FailureKind::ServiceRefused &&
               looked.failure->kind != FailureKind::MalformedAnswer) {
      // No answer: the service is then out of reach for the other batches too.
      tell(lookup.notice, "cannot look up the uncertain batches: " + looked.failure->message);
      break;
    } else if (looked.failure->code == ResultCode::GroupError &&
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

std::vector<std::size_t> deliveredTwice(Velmora& client, const Lookup& lookup,
                                        const std::vector<BatchContents>& contents,
                                        const std::vector<BatchUpdate>& batches) {
  std::vector<std::size_t> twice;
  for (const BatchUpdate& b : batches) {
    if (b.resends == 0 || b.state != BatchState::Sent) continue;
    const std::string& base = contents[b.batch - 1].groupId;
    for (long long k = 0; k < b.resends; ++k) {
      const Outcome<GroupMessageId> found = awaitCall<Outcome<GroupMessageId>>(
          lookup.waitSeconds, [&](OutcomeCompletion<GroupMessageId> done) {
            client.groupMessageId(resentGroupId(base, k), std::move(done));
          });
      if (!found) continue;  // not known, or not asked: nothing says it arrived
      tell(lookup.notice,
           "batch " + std::to_string(b.batch) + " was delivered twice: its send under " +
               resentGroupId(base, k) + " (group message id " + found.value.id +
               ") arrived beside the resend under " + resentGroupId(base, b.resends));
      twice.push_back(b.batch);
      break;
    }
  }
  return twice;
}

}  // namespace velmora::campaign
