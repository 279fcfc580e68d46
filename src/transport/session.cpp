#include "transport/session.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

#include "output.hpp"

namespace velmora::detail {
namespace {

using Clock = std::chrono::steady_clock;

// Transfers handed to libcurl at once; the rest wait in the session's own queue. libcurl's cost
// per call grows with the number of easy handles on the multi handle, so a burst of thousands
// of requests is fed to it a window at a time.
constexpr std::size_t kWindow = 64;
// Connections per host: bounds the sockets a burst can open.
constexpr long kMaxHostConnections = 16;
// Largest response header block accepted (libcurl alone limits single lines, not the block).
constexpr std::size_t kMaxHeaderBytes = 100u * 1024u;
// Idle seconds after which a cached connection is not reused.
constexpr long kMaxIdleConnectionSeconds = 4;
// How often stalled transfers are looked for while any is active.
constexpr auto kSweepInterval = std::chrono::milliseconds(50);

void runGuarded(const std::function<void()>& work) {
  try {
    work();
  } catch (const std::exception& e) {
    printLine(std::string("velmora: a completion handler threw: ") + e.what());
  } catch (...) {
    printLine("velmora: a completion handler threw a non-standard exception");
  }
}

// A request waiting for a place in the window.
struct Pending {
  HttpRequest request;
  std::function<void(HttpResponse&)> onDone;
};

// One place in the window: a transfer admitted into libcurl. Slots, their easy handles and their
// buffers are reused from one request to the next, so a request costs no handle set-up.
struct Slot {
  CURL* easy = nullptr;
  bool configured = false;  // the options common to every request are set
  std::string caFile;       // the trust store the handle is configured with
  Pending work;
  curl_slist* headers = nullptr;
  HttpResponse response;
  std::string statusLine;
  std::string headerLines;  // "Name: value; Name: value", for the description of the response
  bool bodyTooLarge = false;
  bool timedOut = false;
  std::size_t headerBytes = 0;  // of the current response's header block
  bool headersTooLarge = false;
  bool headersComplete = false;  // the blank line that ends the header block arrived
  curl_off_t lastDownloaded = 0;
  curl_off_t lastUploaded = 0;
  Clock::time_point lastProgress;
  char errorBuffer[CURL_ERROR_SIZE] = {};

  ~Slot() {
    curl_slist_free_all(headers);
    if (easy != nullptr) curl_easy_cleanup(easy);
  }
};

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
  s->headerBytes += bytes;
  if (s->headerBytes > kMaxHeaderBytes) {
    s->headersTooLarge = true;
    return 0;  // makes libcurl end the transfer with a write error
  }
  std::string_view line(data, bytes);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.rfind("HTTP/", 0) == 0) {  // a new response (after 1xx): start over
    s->statusLine.assign(line);
    s->headerLines.clear();
    s->headerBytes = bytes;
    s->headersComplete = false;
  } else if (line.empty()) {
    s->headersComplete = true;
  } else if (!line.empty()) {
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

std::string describeResponse(const Slot& s) {
  std::string text = "<HTTPResponse> { URL: " + s.work.request.url +
                     " } { Status Code: " + std::to_string(s.response.status) +
                     ", Status Line: " + s.statusLine + ", Headers {";
  if (!s.headerLines.empty()) text.append(" ").append(s.headerLines);
  return text + " } }";
}

std::string describeError(const Slot& s, CURLcode code) {
  if (s.timedOut) {
    return "The request timed out: no progress for " +
           std::to_string(s.work.request.timeout.count()) + " ms";
  }
  if (s.headersTooLarge) {
    return "The response header block exceeds the limit of " + std::to_string(kMaxHeaderBytes) +
           " bytes";
  }
  if (code == CURLE_OK) {  // libcurl took a connection closed inside the headers for an answer
    return "The connection closed before the end of the response headers";
  }
  if (s.bodyTooLarge) {
    return "The response body exceeds the limit of " + std::to_string(kMaxBodyBytes) + " bytes";
  }
  std::string text = curl_easy_strerror(code);
  if (s.errorBuffer[0] != '\0') text.append(": ").append(s.errorBuffer);
  return text;
}

}  // namespace

class Session::Impl {
 public:
  Impl() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, kMaxHostConnections);
    curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    share = curl_share_init();
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    thread = std::thread([this] { run(); });
    threadId = thread.get_id();
  }

  void enqueue(std::optional<Pending> work, std::function<void()> task) {
    bool wake = false;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (work) incoming.push_back(std::move(*work));
      if (task) tasks.push_back(std::move(task));
      // The loop takes everything queued at once, so one wake-up per batch is enough: a burst
      // of submissions costs one system call, not one each. A completion that submits runs on
      // the loop itself, which looks at the queue before it waits: no wake-up at all.
      if (std::this_thread::get_id() != threadId) {
        wake = !wakeSent;
        wakeSent = true;
      }
    }
    if (wake) curl_multi_wakeup(multi);
  }

  // Called once at process exit: stops the loop between two callbacks, so that no completion
  // runs while the rest of the process is being torn down. Requests still in flight are dropped.
  void stopAtExit() {
    if (std::this_thread::get_id() == threadId) {
      stopping = true;  // exit() called from a completion: the loop ends after it returns
      return;
    }
    std::unique_lock<std::mutex> lock(mutex);
    stopping = true;
    curl_multi_wakeup(multi);
    const bool ended = exitedCv.wait_for(lock, std::chrono::seconds(1), [this] { return exited; });
    lock.unlock();
    if (ended) {
      thread.join();
    } else {
      thread.detach();  // a completion is blocked; never hang the exit on it
    }
  }

  std::thread::id threadId;

 private:
  void run() {
    std::deque<std::function<void()>> dueTasks;
    auto nextSweep = Clock::now();
    while (!stopping) {
      takeIncoming(dueTasks);
      while (!dueTasks.empty() && !stopping) {
        runGuarded(dueTasks.front());
        dueTasks.pop_front();
      }
      admitWaiting();
      int running = 0;
      curl_multi_perform(multi, &running);
      finishCompleted();
      if (Clock::now() >= nextSweep) {
        failStalled();
        nextSweep = Clock::now() + kSweepInterval;
      }
      admitWaiting();
      if (stopping || queuedByLoop()) continue;
      const int pollMs = active.empty() ? 1000 : static_cast<int>(kSweepInterval.count());
      curl_multi_poll(multi, nullptr, 0, pollMs, nullptr);
    }
    std::lock_guard<std::mutex> lock(mutex);
    exited = true;
    exitedCv.notify_all();
  }

  // True when completions queued work while the loop ran them.
  bool queuedByLoop() {
    std::lock_guard<std::mutex> lock(mutex);
    return !incoming.empty() || !tasks.empty();
  }

  void takeIncoming(std::deque<std::function<void()>>& dueTasks) {
    std::lock_guard<std::mutex> lock(mutex);
    wakeSent = false;
    if (waiting.empty()) {
      waiting.swap(incoming);
    } else {
      for (auto& w : incoming) waiting.push_back(std::move(w));
      incoming.clear();
    }
    for (auto& task : tasks) dueTasks.push_back(std::move(task));
    tasks.clear();
  }

  void admitWaiting() {
    while (active.size() < kWindow && !waiting.empty() && !stopping) {
      Slot* s = takeSlot();
      s->work = std::move(waiting.front());
      waiting.pop_front();
      start(s);
    }
  }

  Slot* takeSlot() {
    if (spareSlots.empty()) {
      slots.push_back(std::make_unique<Slot>());
      return slots.back().get();
    }
    Slot* s = spareSlots.back();
    spareSlots.pop_back();
    return s;
  }

  void start(Slot* s) {
    if (s->easy == nullptr) s->easy = curl_easy_init();
    if (s->easy == nullptr) {
      finishWithError(s, "Out of memory: no transfer handle");
      return;
    }
    configure(*s);
    if (curl_multi_add_handle(multi, s->easy) != CURLM_OK) {
      finishWithError(s, "The transfer could not be started");
      return;
    }
    active.push_back(s);
  }

  // The options that every request shares; set again only after a reset.
  void configureCommon(Slot& s) {
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
    curl_easy_setopt(e, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxBodyBytes));
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &s);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &s);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, &s);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, s.errorBuffer);
  }

  void configure(Slot& s) {
    CURL* e = s.easy;
    const HttpRequest& r = s.work.request;
    // A handle keeps its options from one request to the next. Only a different trust store
    // needs a reset, since the default one cannot be set back otherwise.
    if (!s.configured || s.caFile != r.caFile) {
      if (s.configured) curl_easy_reset(e);
      configureCommon(s);
      if (!r.caFile.empty()) curl_easy_setopt(e, CURLOPT_CAINFO, r.caFile.c_str());
      s.caFile = r.caFile;
      s.configured = true;
    }
    curl_slist_free_all(s.headers);
    s.headers = nullptr;
    for (const std::string& h : r.headers) s.headers = curl_slist_append(s.headers, h.c_str());
    s.headers = curl_slist_append(s.headers, "Expect:");
    curl_easy_setopt(e, CURLOPT_URL, r.url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, r.allowPlainHttp ? "http,https" : "https");
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size()));
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, r.body.c_str());  // not copied: the slot keeps it
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, s.headers);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(r.timeout.count()));
    s.response = HttpResponse();
    s.statusLine.clear();
    s.headerLines.clear();
    s.bodyTooLarge = false;
    s.timedOut = false;
    s.headerBytes = 0;
    s.headersTooLarge = false;
    s.headersComplete = false;
    s.lastDownloaded = 0;
    s.lastUploaded = 0;
    s.lastProgress = Clock::now();
    s.errorBuffer[0] = '\0';
  }

  void finishCompleted() {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
      if (msg->msg != CURLMSG_DONE) continue;
      const CURLcode code = msg->data.result;
      Slot* s = nullptr;
      curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &s);
      detach(s);
      finish(s, code);
    }
  }

  void failStalled() {
    const auto now = Clock::now();
    std::vector<Slot*> stalled;
    for (Slot* s : active) {
      if (now - s->lastProgress > s->work.request.timeout) stalled.push_back(s);
    }
    for (Slot* s : stalled) {
      detach(s);
      s->timedOut = true;
      finish(s, CURLE_OPERATION_TIMEDOUT);
    }
  }

  // Takes a transfer off the multi handle and out of the active list.
  void detach(Slot* s) {
    curl_multi_remove_handle(multi, s->easy);
    auto it = std::find(active.begin(), active.end(), s);
    *it = active.back();
    active.pop_back();
  }

  void finish(Slot* s, CURLcode code) {
    if (code == CURLE_OK && !s->timedOut && s->headersComplete) {
      long status = 0;
      curl_easy_getinfo(s->easy, CURLINFO_RESPONSE_CODE, &status);
      s->response.status = status;
      // Only a status outside 2xx is ever described; a 2xx answer skips building the text.
      if (status < 200 || status > 299) s->response.description = describeResponse(*s);
    } else {
      s->response.failed = true;
      s->response.error = describeError(*s, code);
      s->response.body.clear();
    }
    deliver(s);
  }

  void finishWithError(Slot* s, const char* error) {
    s->response = HttpResponse();
    s->response.failed = true;
    s->response.error = error;
    deliver(s);
  }

  // Frees the slot, then runs the completion, which may submit again or even exit the process.
  void deliver(Slot* s) {
    Pending work = std::move(s->work);
    HttpResponse response = std::move(s->response);
    s->work = Pending();
    spareSlots.push_back(s);
    runGuarded([&] { work.onDone(response); });
  }

  CURLM* multi = nullptr;
  CURLSH* share = nullptr;
  std::thread thread;

  std::mutex mutex;
  std::condition_variable exitedCv;
  bool exited = false;
  bool wakeSent = false;
  std::deque<Pending> incoming;
  std::deque<std::function<void()>> tasks;
  std::atomic<bool> stopping{false};

  // Touched by the session thread only.
  std::deque<Pending> waiting;
  std::vector<std::unique_ptr<Slot>> slots;
  std::vector<Slot*> spareSlots;
  std::vector<Slot*> active;
};

Session::Session() : impl(std::make_unique<Impl>()) {}

Session& Session::shared() {
  // Never destroyed: the session thread may still be finishing a callback during exit.
  static Session* session = [] {
    auto* created = new Session();
    std::atexit([] { Session::shared().impl->stopAtExit(); });
    return created;
  }();
  return *session;
}

void Session::submit(HttpRequest request, std::function<void(HttpResponse&)> onDone) {
  impl->enqueue(Pending{std::move(request), std::move(onDone)}, nullptr);
}

void Session::post(std::function<void()> task) {
  impl->enqueue(std::nullopt, std::move(task));
}

bool Session::onSessionThread() const {
  return std::this_thread::get_id() == impl->threadId;
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
