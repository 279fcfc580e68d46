#include "transport/private/transfer.hpp"

#include <algorithm>

#include "velmora/transport.hpp"

namespace velmora::detail {
namespace {

// Idle seconds after which a cached connection is not reused.
constexpr long kMaxIdleConnectionSeconds = 4;

Clock::time_point now(const Slot& s) {
  return (*s.clock)();
}

// The first digit of the status code in `statusLine`, or 0.
char statusClass(std::string_view statusLine) {
  const auto space = statusLine.find(' ');
  return space != std::string_view::npos && statusLine.size() > space + 1 ? statusLine[space + 1]
                                                                          : '\0';
}

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* s = static_cast<Slot*>(user);
  const std::size_t bytes = size * count;
  s->attempt.lastProgress = now(*s);
  if (s->attempt.response.body.size() + bytes > kMaxBodyBytes) {
    s->attempt.bodyTooLarge = true;
    return 0;  // makes libcurl end the transfer with a write error
  }
  s->attempt.response.body.append(data, bytes);
  return bytes;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto* s = static_cast<Slot*>(user);
  const std::size_t bytes = size * count;
  s->attempt.lastProgress = now(*s);
  std::string_view line(data, bytes);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  // Only the first line, or a status line after a whole 1xx block, starts a response; a header
  // line that merely begins with "HTTP/" does not reset the block's size.
  const bool starts =
      line.rfind("HTTP/", 0) == 0 && (s->attempt.statusLine.empty() || s->attempt.informational);
  if (starts) {
    s->attempt.statusLine.assign(line);
    s->attempt.headerLines.clear();
    s->attempt.headerBytes = 0;
    s->attempt.headersComplete = false;
    s->attempt.informational = false;
  }
  s->attempt.headerBytes += bytes;
  if (s->attempt.headerBytes > kMaxHeaderBytes) {
    s->attempt.headersTooLarge = true;
    return 0;  // makes libcurl end the transfer with a write error
  }
  if (line.empty()) {
    s->attempt.headersComplete = true;
    s->attempt.informational = statusClass(s->attempt.statusLine) == '1';
  } else if (!starts &&
             statusClass(s->attempt.statusLine) != '2') {  // only such answers are described
    s->attempt.headerLines.emplace_back(line);
  }
  return bytes;
}

int onProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  auto* s = static_cast<Slot*>(user);
  if (downloaded != s->attempt.lastDownloaded || uploaded != s->attempt.lastUploaded) {
    s->attempt.lastDownloaded = downloaded;
    s->attempt.lastUploaded = uploaded;
    s->attempt.lastProgress = now(*s);
  }
  return 0;
}

// libcurl 8.2 added CURLINFO_CONN_ID (CURLINFO_OFF_T + 64) and stopped printing connection
// numbers; the headers this is built with may predate it.
constexpr auto kConnectionIdInfo = static_cast<CURLINFO>(CURLINFO_OFF_T + 64);

// The connection the transfer is attached to, or -1.
std::int64_t connectionOf(const Slot& s) {
  if (!libcurlDialect().connectionIdInfo) return s.attempt.namedConnection;
  curl_off_t id = -1;
  return curl_easy_getinfo(s.easy, kConnectionIdInfo, &id) == CURLE_OK ? id : -1;
}

// Called once the connection is up (TLS included), just before the request is written, and
// again before every resend libcurl attempts on its own after a connection died.
int onRequestStart(void* user, char*, char*, int, int) {
  auto* s = static_cast<Slot*>(user);
  if (s->attempt.requestStarted) {
    // The server may have read the request before the connection died: it does not go out a
    // second time. Where HTTP/2 proves the server left it unprocessed, the session resends it.
    s->attempt.resendStopped = true;
    return CURL_PREREQFUNC_ABORT;
  }
  s->attempt.requestStarted = true;
  s->attempt.connection = connectionOf(*s);
  s->attempt.stream = 0;
  s->started->push_back(s);
  return CURL_PREREQFUNC_OK;
}

// libcurl's informational lines (switched on only where they are needed): which connection and
// HTTP/2 stream a request went out on, GOAWAY frames, resends and the protocol chosen.
int onLibcurlLine(CURL*, curl_infotype type, char* data, std::size_t size, void* user) {
  if (type != CURLINFO_TEXT) return 0;
  auto* s = static_cast<Slot*>(user);
  const LibcurlLine line = readLibcurlLine(std::string_view(data, size));
  switch (line.kind) {
    case LibcurlLine::Kind::Connection:
      s->attempt.namedConnection = line.number;
      break;
    case LibcurlLine::Kind::Stream:
      s->attempt.stream = line.number;
      break;
    case LibcurlLine::Kind::Retrying:
      s->attempt.betweenAttempts = true;
      break;
    case LibcurlLine::Kind::Alpn:
      s->attempt.handshake = line.number == 2 ? Protocol::Http2 : Protocol::Http1;
      break;
    case LibcurlLine::Kind::GoAway:
      // Only a transfer whose request is under way is surely attached to the connection the
      // frame came on; one that is only looking for a connection (a resend) may be checking
      // another.
      if (s->attempt.requestStarted && !s->attempt.betweenAttempts)
        s->goaways->record(s->attempt.connection, line.number);
      break;
    case LibcurlLine::Kind::None:
      break;
  }
  return 0;
}

// Empty when `code` is a success, else the reason a request cannot be sent safely.
std::string refusedSetting(CURLcode code, const char* option) {
  if (code == CURLE_OK) return {};
  return std::string("libcurl refused the security setting ") + option + ": " +
         curl_easy_strerror(code);
}

// The smallest upload buffer libcurl takes.
constexpr long kUploadBufferBytes = 16L * 1024L;

// The options that every request shares; set again only after a reset. Empty on success,
// else why the handle cannot be used.
std::string configureCommon(Slot& s, CURLSH* share) {
  CURL* e = s.easy;
  curl_easy_setopt(e, CURLOPT_PRIVATE, &s);
  curl_easy_setopt(e, CURLOPT_POST, 1L);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_SHARE, share);
  // HTTP/2 only where libcurl's lines can prove which refused streams the server never saw.
  const long version =
      libcurlDialect().http2Withheld.empty() ? CURL_HTTP_VERSION_2TLS : CURL_HTTP_VERSION_1_1;
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, version);
  curl_easy_setopt(e, CURLOPT_PIPEWAIT, 1L);
  // libcurl 7.88 may reuse a TLS connection the server has already closed and then fail the
  // request with a send error. Servers commonly drop idle connections after 5 s or more, so
  // idle connections are not reused past that; a steady stream of requests still reuses them.
  curl_easy_setopt(e, CURLOPT_MAXAGE_CONN, kMaxIdleConnectionSeconds);
  curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxBodyBytes));
  // A proxy's CONNECT answer is not part of the service's answer.
  curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &s);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &s);
  curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, onProgress);
  curl_easy_setopt(e, CURLOPT_XFERINFODATA, &s);
  curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, onRequestStart);
  curl_easy_setopt(e, CURLOPT_PREREQDATA, &s);
  curl_easy_setopt(e, CURLOPT_DEBUGFUNCTION, onLibcurlLine);
  curl_easy_setopt(e, CURLOPT_DEBUGDATA, &s);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, s.errorBuffer);
  // libcurl allocates its upload buffer for every transfer and frees it when the transfer ends.
  // At its default 64 KiB each free made the allocator give the I/O thread's memory back to the
  // system and take it again a moment later: a page fault per request and a TLB flush on every
  // core that runs one of the process's threads. 16 KiB, a TLS record's largest payload, keeps
  // each request's buffers small enough to be reused.
  curl_easy_setopt(e, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferBytes);
  // What keeps a request from going to the wrong party: checked, never assumed.
  std::string refused = refusedSetting(
      curl_easy_setopt(e, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2)),
      "CURLOPT_SSLVERSION");
  if (refused.empty()) {
    refused =
        refusedSetting(curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L), "CURLOPT_SSL_VERIFYPEER");
  }
  if (refused.empty()) {
    refused =
        refusedSetting(curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L), "CURLOPT_SSL_VERIFYHOST");
  }
  if (refused.empty()) {
    refused = refusedSetting(curl_easy_setopt(e, CURLOPT_PROXY_SSL_VERIFYPEER, 1L),
                             "CURLOPT_PROXY_SSL_VERIFYPEER");
  }
  if (refused.empty()) {
    refused = refusedSetting(curl_easy_setopt(e, CURLOPT_PROXY_SSL_VERIFYHOST, 2L),
                             "CURLOPT_PROXY_SSL_VERIFYHOST");
  }
  if (refused.empty() && !s.work.request.caFile.empty()) {
    refused = refusedSetting(curl_easy_setopt(e, CURLOPT_CAINFO, s.work.request.caFile.c_str()),
                             "CURLOPT_CAINFO");
  }
  return refused;
}

}  // namespace

std::string configure(Slot& s, CURLSH* share) {
  CURL* e = s.easy;
  const HttpRequest& r = s.work.request;
  // A handle keeps its options from one request to the next. Only a different trust store
  // needs a reset, since the default one cannot be set back otherwise.
  if (!s.configured || s.caFile != r.caFile) {
    curl_easy_reset(e);
    s.configured = false;
    s.protocols = -1;
    s.verbose = false;
    std::string refused = configureCommon(s, share);
    if (!refused.empty()) return refused;
    s.caFile = r.caFile;
    s.configured = true;
  }
  if (s.protocols != static_cast<int>(r.allowPlainHttp)) {
    s.protocols = -1;
    std::string refused = refusedSetting(
        curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, r.allowPlainHttp ? "http,https" : "https"),
        "CURLOPT_PROTOCOLS_STR");
    if (!refused.empty()) return refused;
    s.protocols = static_cast<int>(r.allowPlainHttp);
  }
  // Consecutive requests on a handle mostly carry the same header lines.
  if (s.headers == nullptr || s.headerSource != r.headers) {
    curl_slist_free_all(s.headers);
    s.headers = nullptr;
    for (const std::string& h : r.headers) s.headers = curl_slist_append(s.headers, h.c_str());
    s.headers = curl_slist_append(s.headers, "Expect:");
    s.headerSource = r.headers;
  }
  // libcurl's lines cost formatting on every request (a dozen lines). They are needed where a
  // handshake has not yet said what the origin speaks, and on every HTTP/2 request: libcurl
  // writes a connection's GOAWAY to whichever transfer drives the connection at that moment,
  // so one unwatched transfer would hide the proof for every stream the GOAWAY refused.
  const bool verbose = s.origin->protocol != Protocol::Http1;
  if (s.verbose != verbose) {
    curl_easy_setopt(e, CURLOPT_VERBOSE, verbose ? 1L : 0L);
    s.verbose = verbose;
  }
  curl_easy_setopt(e, CURLOPT_URL, r.url.c_str());
  // Unset: libcurl's own reading of the environment; "": no proxy at all.
  curl_easy_setopt(e, CURLOPT_PROXY, r.proxy ? r.proxy->c_str() : nullptr);
  curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size()));
  curl_easy_setopt(e, CURLOPT_POSTFIELDS, r.body.c_str());  // not copied: the slot keeps it
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, s.headers);
  s.idleLimit = std::chrono::milliseconds(curlMilliseconds(r.timeout));
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, curlMilliseconds(r.timeout));
  s.attempt = Attempt();
  s.attempt.lastProgress = now(s);
  s.errorBuffer[0] = '\0';
  return {};
}

std::string deadlineReason(std::chrono::milliseconds deadline) {
  return "The request passed its deadline of " + std::to_string(curlMilliseconds(deadline)) + " ms";
}

long curlMilliseconds(std::chrono::milliseconds limit) {
  return static_cast<long>(std::clamp<std::chrono::milliseconds>(
                               limit, std::chrono::milliseconds(1), HttpRequest::kLongestTimeLimit)
                               .count());
}

}  // namespace velmora::detail
