#include "transport/session.hpp"

#include <curl/curl.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "transport/private/completion_queue.hpp"
#include "transport/private/libcurl_lines.hpp"
#include "transport/private/origin_queue.hpp"

namespace velmora::detail {
namespace {

// Largest response header block accepted (libcurl alone limits single lines, not the block).
constexpr std::size_t kMaxHeaderBytes = 100u * 1024u;
// Idle seconds after which a cached connection is not reused.
constexpr long kMaxIdleConnectionSeconds = 4;
// How often transfers are checked against their time-outs while any is under way.
constexpr auto kSweepInterval = std::chrono::milliseconds(50);
// How often origins unused for a while are forgotten.
constexpr auto kPruneInterval = std::chrono::seconds(10);
// How long process exit waits for the library's threads to stop.
constexpr auto kExitWait = std::chrono::seconds(1);
constexpr auto kLongestLimit = std::chrono::hours(24);
// How often one request may go out again after HTTP/2 servers refused it unprocessed; a server
// that refuses everything must not keep a request cycling until its deadline.
constexpr int kMaxResends = 64;

// A time limit as libcurl takes it: milliseconds in a long, at least 1 (0 means "the default"
// to libcurl) and never more than 24 hours, so that no conversion can overflow.
long curlMilliseconds(std::chrono::milliseconds limit) {
  return static_cast<long>(
      std::clamp<std::chrono::milliseconds>(limit, std::chrono::milliseconds(1), kLongestLimit)
          .count());
}

// Why the session, rather than libcurl, ended a transfer.
enum class Ended { ByLibcurl, Idle, Deadline };

// One transfer handed to libcurl. Slots, their easy handles and their buffers are reused from
// one request to the next, so a request costs no handle set-up.
struct Slot {
  CURL* easy = nullptr;
  bool configured = false;  // the options common to every request are set
  std::string caFile;       // the trust store the handle is configured with
  OriginQueues* queues = nullptr;
  GoAwayLedger* goaways = nullptr;
  Origin* origin = nullptr;
  Pending work;
  curl_slist* headers = nullptr;
  std::vector<std::string> headerSource;  // what `headers` was built from
  int protocols = -1;  // the allowed protocols set on the handle: 0 https, 1 http too, -1 unset
  HttpResponse response;
  std::string statusLine;
  std::string headerLines;  // "Name: value; Name: value", for the description of the response
  bool bodyTooLarge = false;
  std::size_t headerBytes = 0;  // of the current response's header block
  bool headersTooLarge = false;
  bool headersComplete = false;  // the blank line that ends the header block arrived
  bool informational = false;    // that block was a 1xx one: a new response follows
  bool requestStarted = false;   // libcurl was about to write the request
  // The attempt under way, as libcurl's own lines name it; only read on HTTP/2 origins, where a
  // GOAWAY can prove that the server never processed the request.
  bool verbose = false;                    // libcurl's lines are switched on for this handle
  std::int64_t namedConnection = -1;       // the connection libcurl last named for this transfer
  std::int64_t connection = -1;            // the connection the request went out on
  std::int64_t stream = 0;                 // its HTTP/2 stream id; 0 unknown
  bool betweenAttempts = false;            // libcurl said it would send the request again
  bool resendStopped = false;              // and the session stopped that
  Protocol handshake = Protocol::Unknown;  // what the last TLS handshake chose
  std::chrono::milliseconds idleLimit{};
  curl_off_t lastDownloaded = 0;
  curl_off_t lastUploaded = 0;
  Clock::time_point lastProgress;
  char errorBuffer[CURL_ERROR_SIZE] = {};

  ~Slot() {
    curl_slist_free_all(headers);
    if (easy != nullptr) curl_easy_cleanup(easy);
  }
};

// The first digit of the status code in `statusLine`, or 0.
char statusClass(std::string_view statusLine) {
  const auto space = statusLine.find(' ');
  return space != std::string_view::npos && statusLine.size() > space + 1 ? statusLine[space + 1]
                                                                          : '\0';
}

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* s = static_cast<Slot*>(user);
  const std::size_t bytes = size * count;
  s->lastProgress = Clock::now();
  if (s->response.body.size() + bytes > kMaxBodyBytes) {
    s->bodyTooLarge = true;
    return 0;  // makes libcurl end the transfer with a write error
  }
  s->response.body.append(data, bytes);
  return bytes;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto* s = static_cast<Slot*>(user);
  const std::size_t bytes = size * count;
  s->lastProgress = Clock::now();
  std::string_view line(data, bytes);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  // Only the first line, or a status line after a whole 1xx block, starts a response; a header
  // line that merely begins with "HTTP/" does not reset the block's size.
  const bool starts = line.rfind("HTTP/", 0) == 0 && (s->statusLine.empty() || s->informational);
  if (starts) {
    s->statusLine.assign(line);
    s->headerLines.clear();
    s->headerBytes = 0;
    s->headersComplete = false;
    s->informational = false;
  }
  s->headerBytes += bytes;
  if (s->headerBytes > kMaxHeaderBytes) {
    s->headersTooLarge = true;
    return 0;  // makes libcurl end the transfer with a write error
  }
  if (line.empty()) {
    s->headersComplete = true;
    s->informational = statusClass(s->statusLine) == '1';
  } else if (!starts && statusClass(s->statusLine) != '2') {  // only such answers are described
    if (!s->headerLines.empty()) s->headerLines.append("; ");
    s->headerLines.append(line);
  }
  return bytes;
}

int onProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  auto* s = static_cast<Slot*>(user);
  if (downloaded != s->lastDownloaded || uploaded != s->lastUploaded) {
    s->lastDownloaded = downloaded;
    s->lastUploaded = uploaded;
    s->lastProgress = Clock::now();
  }
  return 0;
}

// Called once the connection is up (TLS included), just before the request is written, and
// again before every resend libcurl attempts on its own after a connection died.
int onRequestStart(void* user, char*, char*, int, int) {
  auto* s = static_cast<Slot*>(user);
  if (s->requestStarted) {
    // The server may have read the request before the connection died: it does not go out a
    // second time. Where HTTP/2 proves the server left it unprocessed, the session resends it.
    s->resendStopped = true;
    return CURL_PREREQFUNC_ABORT;
  }
  s->requestStarted = true;
  s->connection = s->namedConnection;
  s->stream = 0;
  // The handshake tells what the connection carries: widen the origin now, not at its answer.
  Origin& origin = *s->origin;
  if (s->handshake != Protocol::Unknown && s->handshake != origin.protocol) {
    s->queues->setProtocol(origin, s->handshake);
  } else if (origin.protocol == Protocol::Unknown) {
    s->queues->setProtocol(origin, Protocol::Http1);
  }
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
      s->namedConnection = line.number;
      break;
    case LibcurlLine::Kind::Stream:
      s->stream = line.number;
      break;
    case LibcurlLine::Kind::Retrying:
      s->betweenAttempts = true;
      break;
    case LibcurlLine::Kind::Alpn:
      s->handshake = line.number == 2 ? Protocol::Http2 : Protocol::Http1;
      break;
    case LibcurlLine::Kind::GoAway:
      // Only a transfer whose request is under way is surely attached to the connection the
      // frame came on; one that is only looking for a connection (a resend) may be checking
      // another.
      if (s->requestStarted && !s->betweenAttempts) s->goaways->record(s->connection, line.number);
      break;
    case LibcurlLine::Kind::None:
      break;
  }
  return 0;
}

std::string describeResponse(const Slot& s) {
  std::string text = "<HTTPResponse> { URL: " + s.work.request.url +
                     " } { Status Code: " + std::to_string(s.response.status) +
                     ", Status Line: " + s.statusLine + ", Headers {";
  if (!s.headerLines.empty()) text.append(" ").append(s.headerLines);
  return text + " } }";
}

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

// The kind and the printed reason of a failed transfer.
std::pair<FailureKind, std::string> describeFailure(const Slot& s, CURLcode code, Ended ended) {
  const HttpRequest& r = s.work.request;
  if (ended == Ended::Deadline) {
    return {FailureKind::Deadline, "The request passed its deadline of " +
                                       std::to_string(curlMilliseconds(r.deadline)) + " ms"};
  }
  if (ended == Ended::Idle || code == CURLE_OPERATION_TIMEDOUT) {
    return {FailureKind::Timeout, "The request timed out: no progress for " +
                                      std::to_string(s.idleLimit.count()) + " ms"};
  }
  if (s.headersTooLarge) {
    return {FailureKind::MalformedAnswer, "The response header block exceeds the limit of " +
                                              std::to_string(kMaxHeaderBytes) + " bytes"};
  }
  if (s.bodyTooLarge || code == CURLE_FILESIZE_EXCEEDED) {
    return {FailureKind::MalformedAnswer,
            "The response body exceeds the limit of " + std::to_string(kMaxBodyBytes) + " bytes"};
  }
  // A connection failure after the request went out can only be libcurl's fresh connection for
  // a resend, which would have been stopped too.
  if (s.resendStopped || (s.requestStarted && isConnectFailure(code))) {
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
  if (refusedUrl && !s.requestStarted) kind = FailureKind::RefusedInput;
  return {kind, withoutProxyCredentials(std::move(text), r.proxy)};
}

// Empty when `code` is a success, else the reason a request cannot be sent safely.
std::string refusedSetting(CURLcode code, const char* option) {
  if (code == CURLE_OK) return {};
  return std::string("libcurl refused the security setting ") + option + ": " +
         curl_easy_strerror(code);
}

std::once_flag globalInitOnce;
CURLcode globalInitResult = CURLE_FAILED_INIT;

}  // namespace

class Session::Impl {
 public:
  Impl() {
    std::call_once(globalInitOnce,
                   [] { globalInitResult = curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (globalInitResult != CURLE_OK) {
      brokenReason =
          std::string("libcurl could not be initialised: ") + curl_easy_strerror(globalInitResult);
      return;
    }
    multi = curl_multi_init();
    share = curl_share_init();
    if (multi == nullptr || share == nullptr ||
        curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX) != CURLM_OK ||
        curl_multi_setopt(multi, CURLMOPT_MAX_CONCURRENT_STREAMS,
                          static_cast<long>(kHttp2Capacity)) != CURLM_OK ||
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) != CURLSHE_OK ||
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) != CURLSHE_OK) {
      brokenReason = "libcurl could not be initialised: no transfer loop";
      return;
    }
    // No per-host connection cap is set in libcurl: admission keeps each origin within what
    // its connections carry, so a transfer handed to libcurl never waits there for one.
    ioThread = std::thread([this] { run(); });
  }

  void submit(Pending work) {
    if (!brokenReason.empty()) {
      Completion failed{std::move(work.onDone), {}, {}};
      failed.response.failed = true;
      failed.response.error = brokenReason;
      failed.response.requestMayHaveArrived = false;
      completions.push(std::move(failed));
      return;
    }
    bool wake = false;
    {
      std::lock_guard<std::mutex> lock(mutex);
      incoming.push_back(std::move(work));
      // The loop takes everything queued at once, so one wake-up per batch is enough: a burst
      // of submissions costs one system call, not one each.
      wake = !wakeSent;
      wakeSent = true;
    }
    if (wake) curl_multi_wakeup(multi);
  }

  void post(std::function<void()> task) { completions.push(Completion{{}, {}, std::move(task)}); }

  bool onCompletionThread() const { return completions.onThread(); }

  // Called once at process exit: the I/O loop stops between two steps and no completion starts
  // any more, so nothing runs while the rest of the process is torn down. Queued and running
  // requests are dropped. A completion that is running (exit() called elsewhere) gets up to a
  // second to return; the exit never hangs on it.
  void stopAtExit() {
    const auto until = Clock::now() + kExitWait;
    stopping = true;
    if (ioThread.joinable()) {
      curl_multi_wakeup(multi);
      std::unique_lock<std::mutex> lock(mutex);
      const bool ended = exitedCv.wait_until(lock, until, [this] { return ioExited; });
      lock.unlock();
      ended ? ioThread.join() : ioThread.detach();
    }
    completions.stop(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::max(until - Clock::now(), Clock::duration::zero())));
  }

 private:
  void run() {
    auto nextSweep = Clock::now() + kSweepInterval;
    auto nextPrune = Clock::now() + kPruneInterval;
    while (!stopping) {
      takeIncoming();
      admit();
      int running = 0;
      const CURLMcode performed = curl_multi_perform(multi, &running);
      if (performed != CURLM_OK) failAll(performed);
      finishCompleted();
      // After libcurl has read what arrived, so that an answer waiting in a socket is never
      // taken for a stall.
      const auto now = Clock::now();
      if (now >= nextSweep) {
        failOverdue(now);
        queues.expireQueued(now, [this](Pending& p) { failQueued(p); });
        nextSweep = now + kSweepInterval;
      }
      if (now >= nextPrune) {
        queues.prune(now);
        nextPrune = now + kPruneInterval;
      }
      admit();
      completions.push(finished);
      if (stopping || incomingWaiting()) continue;
      const int pollMs = active.empty() ? 1000 : static_cast<int>(kSweepInterval.count());
      if (curl_multi_poll(multi, nullptr, 0, pollMs, nullptr) != CURLM_OK) {
        std::this_thread::sleep_for(kSweepInterval);  // never spin on a broken poll
      }
    }
    std::lock_guard<std::mutex> lock(mutex);
    ioExited = true;
    exitedCv.notify_all();
  }

  bool incomingWaiting() {
    std::lock_guard<std::mutex> lock(mutex);
    return !incoming.empty();
  }

  void takeIncoming() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      wakeSent = false;
      taken.swap(incoming);
    }
    const auto now = Clock::now();
    for (Pending& work : taken) queues.add(std::move(work), now);
    taken.clear();
  }

  void admit() {
    Pending work;
    while (!stopping) {
      Origin* origin = queues.takeNext(work);
      if (origin == nullptr) return;
      start(*origin, std::move(work));
    }
  }

  Slot* takeSlot() {
    if (spareSlots.empty()) {
      slots.push_back(std::make_unique<Slot>());
      slots.back()->queues = &queues;
      slots.back()->goaways = &goaways;
      return slots.back().get();
    }
    Slot* s = spareSlots.back();
    spareSlots.pop_back();
    return s;
  }

  void start(Origin& origin, Pending work) {
    Slot* s = takeSlot();
    s->work = std::move(work);
    s->origin = &origin;
    if (s->easy == nullptr) s->easy = curl_easy_init();
    if (s->easy == nullptr)
      return failUnsent(s, FailureKind::Transport, "Out of memory: no transfer handle");
    const std::string refused = configure(*s);
    if (!refused.empty()) return failUnsent(s, FailureKind::RefusedInput, refused);
    const CURLMcode added = curl_multi_add_handle(multi, s->easy);
    if (added != CURLM_OK) {
      return failUnsent(
          s, FailureKind::Transport,
          std::string("The transfer could not be started: ") + curl_multi_strerror(added));
    }
    active.push_back(s);
  }

  // The options that every request shares; set again only after a reset. Empty on success,
  // else why the handle cannot be used.
  std::string configureCommon(Slot& s) {
    CURL* e = s.easy;
    curl_easy_setopt(e, CURLOPT_PRIVATE, &s);
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_SHARE, share);
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
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

  // Sets `s` up for its request. Empty on success, else why it cannot be sent.
  std::string configure(Slot& s) {
    CURL* e = s.easy;
    const HttpRequest& r = s.work.request;
    // A handle keeps its options from one request to the next. Only a different trust store
    // needs a reset, since the default one cannot be set back otherwise.
    if (!s.configured || s.caFile != r.caFile) {
      curl_easy_reset(e);
      s.configured = false;
      s.protocols = -1;
      s.verbose = false;
      std::string refused = configureCommon(s);
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
    // libcurl's lines cost formatting on every request: only HTTP/2 origins (GOAWAY proofs) and
    // origins whose handshake has not yet said what they speak need them.
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
    s.response = HttpResponse();
    s.statusLine.clear();
    s.headerLines.clear();
    s.bodyTooLarge = false;
    s.headerBytes = 0;
    s.headersTooLarge = false;
    s.headersComplete = false;
    s.informational = false;
    s.requestStarted = false;
    s.namedConnection = -1;
    s.connection = -1;
    s.stream = 0;
    s.betweenAttempts = false;
    s.resendStopped = false;
    s.handshake = Protocol::Unknown;
    s.lastDownloaded = 0;
    s.lastUploaded = 0;
    s.lastProgress = Clock::now();
    s.errorBuffer[0] = '\0';
    return {};
  }

  void finishCompleted() {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
      if (msg->msg != CURLMSG_DONE) continue;
      const CURLcode code = msg->data.result;
      Slot* s = nullptr;
      curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &s);
      detach(s);
      finish(s, code, Ended::ByLibcurl);
    }
  }

  // Ends the transfers past their deadline or idle for longer than their time-out.
  void failOverdue(Clock::time_point now) {
    std::vector<std::pair<Slot*, Ended>> overdue;
    for (Slot* s : active) {
      if (now >= s->work.deadlineAt) {
        overdue.emplace_back(s, Ended::Deadline);
      } else if (now - s->lastProgress > s->idleLimit) {
        overdue.emplace_back(s, Ended::Idle);
      }
    }
    for (const auto& [s, ended] : overdue) {
      detach(s);
      finish(s, CURLE_OPERATION_TIMEDOUT, ended);
    }
  }

  // The loop itself failed: every transfer under way ends with the reason.
  void failAll(CURLMcode code) {
    std::vector<Slot*> all = active;
    for (Slot* s : all) {
      detach(s);
      s->response = HttpResponse();
      fail(s, FailureKind::Transport,
           std::string("The transfer loop failed: ") + curl_multi_strerror(code));
    }
  }

  // Takes a transfer off the multi handle and out of the active list.
  void detach(Slot* s) {
    curl_multi_remove_handle(multi, s->easy);  // fails only for a handle it does not hold
    auto it = std::find(active.begin(), active.end(), s);
    *it = active.back();
    active.pop_back();
  }

  void finish(Slot* s, CURLcode code, Ended ended) {
    if (ended == Ended::ByLibcurl && code == CURLE_OK && s->headersComplete) {
      long status = 0;
      curl_easy_getinfo(s->easy, CURLINFO_RESPONSE_CODE, &status);
      s->response.status = status;
      // Only a status outside 2xx is ever described; a 2xx answer skips building the text.
      if (status < 200 || status > 299) s->response.description = describeResponse(*s);
      return deliver(s);
    }
    // A stream that brought any answer byte was processed, whatever a GOAWAY claims.
    const bool unanswered = s->statusLine.empty() && s->response.body.empty();
    if (s->requestStarted && unanswered && goaways.provesUnprocessed(s->connection, s->stream)) {
      return resendUnprocessed(s, code, ended);
    }
    auto [kind, text] = describeFailure(*s, code, ended);
    fail(s, kind, std::move(text));
  }

  // The server provably never processed the request (its stream was above a GOAWAY's last
  // stream id): it goes to the front of its origin's queue, for another connection. Past its
  // deadline, or refused too often, it fails as never sent.
  void resendUnprocessed(Slot* s, CURLcode code, Ended ended) {
    const auto now = Clock::now();
    s->requestStarted = false;
    if (ended != Ended::Deadline && now < s->work.deadlineAt && s->work.resends < kMaxResends) {
      Pending work = std::move(s->work);
      ++work.resends;
      freeSlot(s);
      queues.addFront(std::move(work), now);
      return;
    }
    if (ended != Ended::Deadline && now >= s->work.deadlineAt) ended = Ended::Deadline;
    auto [kind, text] = describeFailure(*s, code, ended);
    if (ended != Ended::Deadline) {
      kind = FailureKind::Transport;
      text = "The server refused the request " + std::to_string(s->work.resends + 1) +
             " times without processing it";
    }
    fail(s, kind, std::move(text));
  }

  void fail(Slot* s, FailureKind kind, std::string error) {
    // libcurl counts its resends per handle and never resets the count between requests: past
    // five it gives up on a dead connection without asking. A reset handle starts from zero.
    if (s->requestStarted) s->configured = false;
    s->response.failed = true;
    s->response.kind = kind;
    s->response.error = std::move(error);
    s->response.requestMayHaveArrived = s->requestStarted;
    s->response.body.clear();
    deliver(s);
  }

  // A request that ends before libcurl had it: nothing was sent.
  void failUnsent(Slot* s, FailureKind kind, std::string error) {
    s->response = HttpResponse();
    s->requestStarted = false;
    fail(s, kind, std::move(error));
  }

  void failQueued(Pending& work) {
    Completion failed{std::move(work.onDone), {}, {}};
    failed.response.failed = true;
    failed.response.kind = FailureKind::Deadline;
    failed.response.requestMayHaveArrived = false;
    failed.response.error = "The request passed its deadline of " +
                            std::to_string(curlMilliseconds(work.request.deadline)) + " ms";
    finished.push_back(std::move(failed));
  }

  // Frees the slot and its origin's place, and queues the completion.
  void deliver(Slot* s) {
    finished.push_back(Completion{std::move(s->work.onDone), std::move(s->response), {}});
    freeSlot(s);
  }

  void freeSlot(Slot* s) {
    s->work = Pending();
    queues.release(*s->origin, Clock::now());
    s->origin = nullptr;
    spareSlots.push_back(s);
  }

  std::string brokenReason;  // set once, before any other thread exists
  CURLM* multi = nullptr;
  CURLSH* share = nullptr;
  CompletionQueue completions;
  std::thread ioThread;
  std::atomic<bool> stopping{false};

  std::mutex mutex;
  std::condition_variable exitedCv;
  bool ioExited = false;
  bool wakeSent = false;
  std::vector<Pending> incoming;

  // Touched by the I/O thread only.
  std::vector<Pending> taken;
  OriginQueues queues;
  GoAwayLedger goaways;
  std::vector<std::unique_ptr<Slot>> slots;
  std::vector<Slot*> spareSlots;
  std::vector<Slot*> active;
  std::vector<Completion> finished;  // since the last hand-over to the completion thread
};

namespace {

// The current session's state. A child made by fork() drops its parent's (whose threads it
// does not have) and makes its own on first use; the dropped one is never touched again.
std::atomic<Session::Impl*> currentImpl{nullptr};
std::mutex implCreation;

void lockCreation() {
  implCreation.lock();
}
void unlockCreation() {
  implCreation.unlock();
}
void forgetParentsSession() {
  implCreation.unlock();
  currentImpl.store(nullptr);
}

}  // namespace

Session& Session::shared() {
  // Never destroyed: the library's threads may still be finishing a step during exit.
  static Session* session = [] {
    auto* created = new Session();
    pthread_atfork(lockCreation, unlockCreation, forgetParentsSession);
    return created;
  }();
  return *session;
}

Session::Impl& Session::impl() const {
  if (Impl* impl = currentImpl.load(std::memory_order_acquire)) return *impl;
  std::lock_guard<std::mutex> lock(implCreation);
  Impl* impl = currentImpl.load(std::memory_order_relaxed);
  if (impl == nullptr) {
    impl = new Impl();
    currentImpl.store(impl, std::memory_order_release);
    // Registered after libcurl has initialised OpenSSL, so that it runs before OpenSSL's own
    // exit handler: the I/O thread ends while OpenSSL can still free that thread's state.
    static std::once_flag exitHook;
    std::call_once(exitHook, [] {
      std::atexit([] {
        if (Impl* current = currentImpl.load()) current->stopAtExit();
      });
    });
  }
  return *impl;
}

void Session::submit(HttpRequest request, std::function<void(HttpResponse&)> onDone) {
  Pending work;
  work.deadlineAt = clampedDeadline(Clock::now(), request.deadline);
  work.originKey = originKeyOf(request);
  work.request = std::move(request);
  work.onDone = std::move(onDone);
  impl().submit(std::move(work));
}

void Session::post(std::function<void()> task) {
  impl().post(std::move(task));
}

bool Session::onCompletionThread() const {
  return impl().onCompletionThread();
}

}  // namespace velmora::detail

namespace velmora::detail {
namespace {
std::atomic<Transport*> replacementTransport{nullptr};
}  // namespace

Transport& transport() {
  Transport* replacement = replacementTransport.load(std::memory_order_acquire);
  return replacement != nullptr ? *replacement : Session::shared();
}

void setTransport(Transport* replacement) {
  replacementTransport.store(replacement, std::memory_order_release);
}

}  // namespace velmora::detail
