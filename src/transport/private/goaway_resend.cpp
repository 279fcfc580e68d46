#include "transport/private/goaway_resend.hpp"

namespace velmora::detail {

bool provablyUnprocessed(const Slot& s) {
  // A stream that brought any answer byte was processed, whatever a GOAWAY claims.
  const bool unanswered = s.attempt.statusLine.empty() && s.attempt.response.body.empty();
  return s.attempt.requestStarted && unanswered &&
         s.goaways->provesUnprocessed(s.attempt.connection, s.attempt.stream);
}

std::optional<std::pair<FailureKind, std::string>> whyNotResent(const Pending& work) {
  if (work.resends >= kMaxResends) {
    return std::pair{FailureKind::Transport, "The server refused the request " +
                                                 std::to_string(work.resends + 1) +
                                                 " times without processing it"};
  }
  return std::nullopt;
}

}  // namespace velmora::detail
