#pragma once

// Whether a request may go out again after an HTTP/2 GOAWAY, the one case in which the
// session writes a request twice: the server guarantees that a stream above the GOAWAY's last
// stream id was never processed.

#include <optional>
#include <string>
#include <utility>

#include "transport/private/transfer.hpp"

namespace velmora::detail {

/// How often one request may go out again after a GOAWAY that refused every stream of its
/// connection: a server that refuses everything must not keep a request cycling until its
/// deadline. A GOAWAY after the server processed some streams does not count: a server that
/// ends each connection after a few requests (nginx's keepalive_requests) is making progress,
/// and which streams it takes is luck, so a busy request may be refused many times over.
inline constexpr int kMaxResends = 64;

/// True when the server provably never processed the request `s` carried: it went out on a
/// stream above the last stream id of a GOAWAY from its connection, and no answer byte came.
bool provablyUnprocessed(const Slot& s);

/// Why a request the server never processed may not go out again (it was refused too often):
/// the failure's kind and reason. Empty when it may. Its deadline is not looked at here: one
/// past it goes back to its queue like any other, and fails there as never sent.
std::optional<std::pair<FailureKind, std::string>> whyNotResent(const Pending& work);

}  // namespace velmora::detail
