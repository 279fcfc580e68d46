#include <optional>

#include "transport/private/transfer.hpp"

namespace velmora::detail {
namespace {

bool isConnectFailure(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_PROXY:
      return true;
    default:
      return false;
  }
}

// Replaces the proxy's user information wherever `text` repeats it.
std::string withoutProxyCredentials(std::string text, const std::optional<std::string>& proxy) {
  if (!proxy) return text;
  const auto schemeEnd = proxy->find("://");
  const std::size_t from = schemeEnd == std::string::npos ? 0 : schemeEnd + 3;
  const auto at = proxy->rfind('@', proxy->find_first_of("/?#", from));
  if (at == std::string::npos || at < from) return text;
  const std::string userinfo = proxy->substr(from, at - from);
  const auto colon = userinfo.find(':');
  for (const std::string& secret :
       {userinfo, userinfo.substr(0, colon),
        colon == std::string::npos ? std::string() : userinfo.substr(colon + 1)}) {
    if (secret.empty()) continue;
    for (auto p = text.find(secret); p != std::string::npos; p = text.find(secret, p + 3)) {
      text.replace(p, secret.size(), "***");
    }
  }
  return text;
}

}  // namespace

std::pair<FailureKind, std::string> describeFailure(const Slot& s, CURLcode code, Ended ended) {
  const HttpRequest& r = s.work.request;
  if (ended == Ended::Deadline) {
    return {FailureKind::Deadline, deadlineReason(r.deadline)};
  }
  if (ended == Ended::Idle || code == CURLE_OPERATION_TIMEDOUT) {
    return {FailureKind::Timeout, "The request timed out: no progress for " +
                                      std::to_string(s.idleLimit.count()) + " ms"};
  }
  if (s.attempt.headersTooLarge) {
    return {FailureKind::MalformedAnswer, "The response header block exceeds the limit of " +
                                              std::to_string(kMaxHeaderBytes) + " bytes"};
  }
  if (s.attempt.bodyTooLarge || code == CURLE_FILESIZE_EXCEEDED) {
    return {FailureKind::MalformedAnswer,
            "The response body exceeds the limit of " + std::to_string(kMaxBodyBytes) + " bytes"};
  }
  // A connection failure after the request went out can only be libcurl's fresh connection for
  // a resend, which would have been stopped too.
  if (s.attempt.resendStopped || (s.attempt.requestStarted && isConnectFailure(code))) {
    return {FailureKind::Transport,
            "The connection closed after the request was sent and before any answer; the "
            "request was not sent again"};
  }
  if (code == CURLE_OK) {  // libcurl took a connection closed inside the headers for an answer
    return {FailureKind::Transport, "The connection closed before the end of the response headers"};
  }
  std::string text = curl_easy_strerror(code);
  if (s.errorBuffer[0] != '\0') text.append(": ").append(s.errorBuffer);
  FailureKind kind = FailureKind::Transport;
  if (isConnectFailure(code)) kind = FailureKind::Connect;
  // A URL libcurl will not take is refused input only while nothing was sent: the same codes
  // after the request went out (an answer in HTTP/0.9, say) are a broken exchange.
  const bool refusedUrl = code == CURLE_UNSUPPORTED_PROTOCOL || code == CURLE_URL_MALFORMAT;
  if (refusedUrl && !s.attempt.requestStarted) kind = FailureKind::RefusedInput;
  return {kind, withoutProxyCredentials(std::move(text), r.proxy)};
}

}  // namespace velmora::detail
