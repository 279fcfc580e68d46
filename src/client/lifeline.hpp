#pragma once

#include <mutex>
#include <vector>

#include "velmora/client.hpp"

namespace velmora::detail {

/// Lets work that goes on after a call returned (the inbox pager's next page) call its client
/// again only while the client lives. Shared by the client and that work.
class Lifeline {
 public:
  explicit Lifeline(Velmora* client) noexcept : client_(client) {}

  /// Runs `use` with the client and returns true, or returns false once the client is gone.
  /// The client's destructor waits for a `use` under way, which is short: operations return at
  /// once. Recursive, for a substituted client that completes inside the call.
  template <class Use>
  bool use(Use&& use) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (client_ == nullptr) return false;
    use(*client_);
    return true;
  }

  /// Called by the client's destructor: `use` does nothing from now on.
  void cut() noexcept {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    client_ = nullptr;
  }

 private:
  std::recursive_mutex mutex_;
  Velmora* client_;
};

/// Reads every page of the inbox from `request.page` on through `client` (see
/// `Velmora::wholeInbox`).
void readWholeInbox(std::shared_ptr<Lifeline> client, const InboxRequest& request,
                    OutcomeCompletion<std::vector<ReceivedMsgs>> completion);

}  // namespace velmora::detail
