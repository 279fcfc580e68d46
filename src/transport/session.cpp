#include "transport/session.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
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

struct Transfer {
  HttpRequest request;
  std::function<void(HttpResponse&)> onDone;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  HttpResponse response;
  std::string statusLine;
  std::vector<std::string> responseHeaders;
  bool bodyTooLarge = false;
  bool timedOut = false;
  curl_off_t lastDownloaded = 0;
  curl_off_t lastUploaded = 0;
  Clock::time_point lastProgress;
  char errorBuffer[CURL_ERROR_SIZE] = {};

  ~Transfer() { curl_slist_free_all(headers); }
};

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::size_t bytes = size * count;
  t->lastProgress = Clock::now();
  if (t->response.body.size() + bytes > kMaxBodyBytes) {
    t->bodyTooLarge = true;
    return 0;  // makes libcurl end the transfer with a write error
  }
  t->response.body.append(data, bytes);
  return bytes;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::size_t bytes = size * count;
  t->lastProgress = Clock::now();
  std::string_view line(data, bytes);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.rfind("HTTP/", 0) == 0) {  // a new response (after 1xx): start over
    t->statusLine.assign(line);
    t->responseHeaders.clear();
  } else if (!line.empty()) {
    t->responseHeaders.emplace_back(line);
  }
  return bytes;
}

int onProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  auto* t = static_cast<Transfer*>(user);
  if (downloaded != t->lastDownloaded || uploaded != t->lastUploaded) {
    t->lastDownloaded = downloaded;
    t->lastUploaded = uploaded;
    t->lastProgress = Clock::now();
  }
  return 0;
}

std::string describeResponse(const Transfer& t) {
  std::string text = "<HTTPResponse> { URL: " + t.request.url +
                     " } { Status Code: " + std::to_string(t.response.status) +
                     ", Status Line: " + t.statusLine + ", Headers {";
  for (std::size_t i = 0; i < t.responseHeaders.size(); ++i) {
    text += i == 0 ? " " : "; ";
    text += t.responseHeaders[i];
  }
  return text + " } }";
}

std::string describeError(const Transfer& t, CURLcode code) {
  if (t.timedOut) {
    return "The request timed out: no progress for " + std::to_string(t.request.timeout.count()) +
           " ms";
  }
  if (t.bodyTooLarge) {
    return "The response body exceeds the limit of " + std::to_string(kMaxBodyBytes) + " bytes";
  }
  std::string text = curl_easy_strerror(code);
  if (t.errorBuffer[0] != '\0') text.append(": ").append(t.errorBuffer);
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

  void enqueue(std::unique_ptr<Transfer> transfer, std::function<void()> task) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (transfer) incoming.push_back(std::move(transfer));
      if (task) tasks.push_back(std::move(task));
    }
    curl_multi_wakeup(multi);
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
      const int pollMs = active.empty() ? 1000 : static_cast<int>(kSweepInterval.count());
      if (!stopping) curl_multi_poll(multi, nullptr, 0, pollMs, nullptr);
    }
    std::lock_guard<std::mutex> lock(mutex);
    exited = true;
    exitedCv.notify_all();
  }

  void takeIncoming(std::deque<std::function<void()>>& dueTasks) {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& t : incoming) waiting.push_back(std::move(t));
    incoming.clear();
    for (auto& task : tasks) dueTasks.push_back(std::move(task));
    tasks.clear();
  }

  void admitWaiting() {
    while (active.size() < kWindow && !waiting.empty() && !stopping) {
      std::unique_ptr<Transfer> t = std::move(waiting.front());
      waiting.pop_front();
      start(std::move(t));
    }
  }

  CURL* takeEasyHandle() {
    if (spareHandles.empty()) return curl_easy_init();
    CURL* easy = spareHandles.back();
    spareHandles.pop_back();
    return easy;
  }

  void start(std::unique_ptr<Transfer> t) {
    t->easy = takeEasyHandle();
    if (t->easy == nullptr) {
      finishWithError(std::move(t), "Out of memory: no transfer handle");
      return;
    }
    configure(*t);
    if (curl_multi_add_handle(multi, t->easy) != CURLM_OK) {
      finishWithError(std::move(t), "The transfer could not be started");
      return;
    }
    t->lastProgress = Clock::now();
    active.push_back(std::move(t));
  }

  void configure(Transfer& t) {
    CURL* e = t.easy;
    const HttpRequest& r = t.request;
    for (const std::string& h : r.headers) t.headers = curl_slist_append(t.headers, h.c_str());
    t.headers = curl_slist_append(t.headers, "Expect:");
    curl_easy_setopt(e, CURLOPT_PRIVATE, &t);
    curl_easy_setopt(e, CURLOPT_URL, r.url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, r.allowPlainHttp ? "http,https" : "https");
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size()));
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, r.body.c_str());  // not copied: `t` outlives it
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, t.headers);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_SHARE, share);
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
    curl_easy_setopt(e, CURLOPT_PIPEWAIT, 1L);
    curl_easy_setopt(e, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!r.caFile.empty()) curl_easy_setopt(e, CURLOPT_CAINFO, r.caFile.c_str());
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(r.timeout.count()));
    curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxBodyBytes));
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.errorBuffer);
  }

  void finishCompleted() {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
      if (msg->msg != CURLMSG_DONE) continue;
      const CURLcode code = msg->data.result;
      finish(detach(msg->easy_handle), code);
    }
  }

  void failStalled() {
    const auto now = Clock::now();
    std::vector<CURL*> stalled;
    for (const auto& t : active) {
      if (now - t->lastProgress > t->request.timeout) stalled.push_back(t->easy);
    }
    for (CURL* easy : stalled) {
      std::unique_ptr<Transfer> t = detach(easy);
      t->timedOut = true;
      finish(std::move(t), CURLE_OPERATION_TIMEDOUT);
    }
  }

  // Takes a transfer off the multi handle and out of the active list.
  std::unique_ptr<Transfer> detach(CURL* easy) {
    curl_multi_remove_handle(multi, easy);
    auto it = std::find_if(active.begin(), active.end(),
                           [easy](const auto& t) { return t->easy == easy; });
    std::unique_ptr<Transfer> t = std::move(*it);
    *it = std::move(active.back());
    active.pop_back();
    return t;
  }

  void finish(std::unique_ptr<Transfer> t, CURLcode code) {
    if (code == CURLE_OK && !t->timedOut) {
      long status = 0;
      curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
      t->response.status = status;
      t->response.description = describeResponse(*t);
    } else {
      t->response.failed = true;
      t->response.error = describeError(*t, code);
      t->response.body.clear();
    }
    recycle(t->easy);
    t->easy = nullptr;
    deliver(std::move(t));
  }

  void finishWithError(std::unique_ptr<Transfer> t, const char* error) {
    if (t->easy != nullptr) recycle(t->easy);
    t->easy = nullptr;
    t->response.failed = true;
    t->response.error = error;
    deliver(std::move(t));
  }

  void recycle(CURL* easy) {
    if (spareHandles.size() >= kWindow) {
      curl_easy_cleanup(easy);
      return;
    }
    curl_easy_reset(easy);
    spareHandles.push_back(easy);
  }

  static void deliver(std::unique_ptr<Transfer> t) {
    runGuarded([&] { t->onDone(t->response); });
  }

  CURLM* multi = nullptr;
  CURLSH* share = nullptr;
  std::thread thread;

  std::mutex mutex;
  std::condition_variable exitedCv;
  bool exited = false;
  std::deque<std::unique_ptr<Transfer>> incoming;
  std::deque<std::function<void()>> tasks;
  std::atomic<bool> stopping{false};

  // Touched by the session thread only.
  std::deque<std::unique_ptr<Transfer>> waiting;
  std::vector<std::unique_ptr<Transfer>> active;
  std::vector<CURL*> spareHandles;
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
  auto transfer = std::make_unique<Transfer>();
  transfer->request = std::move(request);
  transfer->onDone = std::move(onDone);
  impl->enqueue(std::move(transfer), nullptr);
}

void Session::post(std::function<void()> task) {
  impl->enqueue(nullptr, std::move(task));
}

bool Session::onSessionThread() const {
  return std::this_thread::get_id() == impl->threadId;
}

}  // namespace velmora::detail
