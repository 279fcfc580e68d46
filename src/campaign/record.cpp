#include <algorithm>
#include <map>
#include <utility>

#include "journal.hpp"
#include "velmora/codes.hpp"

namespace velmora::campaign {
namespace {

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

std::vector<RecipientReport> reportOf(const std::string& path) {
  const JournalContents contents = Journal::read(path);
  std::map<std::pair<std::size_t, std::string>, Delivery> known;
  for (Delivery& d : Journal::deliveries(path)) known[{d.batch, d.mobile}] = std::move(d);
  std::vector<RecipientReport> out;
  for (const BatchUpdate& b : contents.batches) {
    const BatchContents& batch = contents.contents[b.batch - 1];
    for (const std::string& mobile : batch.mobiles) {
      const auto found = known.find({b.batch, mobile});
      const Delivery* delivery = found == known.end() ? nullptr : &found->second;
      RecipientReport row;
      row.batch = b.batch;
      row.groupId = resentGroupId(batch.groupId, b.resends);
      row.mobile = mobile;
      row.state = recipientState(b, delivery);
      if (delivery != nullptr) {
        row.messageId = delivery->messageId;
        row.status = delivery->status;
      }
      out.push_back(std::move(row));
    }
  }
  return out;
}

Record recordOf(const std::string& path) {
  const JournalContents contents = Journal::read(path);
  Record out{contents.campaignId, {}};
  for (const BatchUpdate& b : contents.batches) {
    const BatchContents& batch = contents.contents[b.batch - 1];
    out.batches.push_back(
        {b.batch, b.state, batch.groupId, b.resends, b.groupMessageId, batch.mobiles});
  }
  return out;
}

// `make()`'s value, or the sentence of what it threw.
template <class T, class Make>
Read<T> reading(Make make) {
  Read<T> out;
  try {
    out.value = make();
  } catch (const std::exception& e) {
    out.error = e.what();
  }
  return out;
}

}  // namespace

bool isPhoneNumber(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  return text.size() >= 3 && text.size() <= 15 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

Read<Record> read(const std::string& path) {
  return reading<Record>([&] { return recordOf(path); });
}

Read<std::vector<RecipientReport>> report(const std::string& path) {
  return reading<std::vector<RecipientReport>>([&] { return reportOf(path); });
}

}  // namespace velmora::campaign
