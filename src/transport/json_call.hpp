#pragma once

#include <memory>
#include <string_view>

#include "transport/session.hpp"
#include "velmora/result.hpp"

namespace velmora::detail {

/// Deepest nesting of arrays and objects accepted in an answer. Deeper documents would cost
/// stack in every recursive walk of the payload (the caller's included), so they are refused.
inline constexpr std::size_t kMaxJsonDepth = 512;

/// True when `text` nests arrays and objects no deeper than `limit` (strings are skipped).
bool jsonDepthWithin(std::string_view text, std::size_t limit) noexcept;

/// Turns a finished exchange into the completion's value, printing the failure lines:
/// a new `Result` from a 2xx JSON-object answer, otherwise null.
std::shared_ptr<Result> resultFromResponse(const HttpResponse& response);

/// Starts `request` on the shared session. A URL whose scheme the request may not use (only
/// "https", or also "http" when `allowPlainHttp`; any case) is never fetched: `onDone` then runs
/// on the session thread with a transport failure that names the scheme.
void submitRequest(HttpRequest request, std::function<void(HttpResponse&)> onDone);

/// Prints the lines of a failed exchange (transport failure or a status outside 2xx) and
/// returns false; returns true, printing nothing, for a 2xx answer. Shared with the SOAP call.
bool acceptResponse(const HttpResponse& response);

}  // namespace velmora::detail
