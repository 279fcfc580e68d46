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
#include "transport/private/origin_queue.hpp"
#include "transport/private/transfer.hpp"

namespace velmora::detail {
namespace {

// How long the loop pauses when polling fails, so that it never spins.
constexpr auto kBrokenPollPause = std::chrono::milliseconds(50);
// How often origins unused for a while are forgotten.
constexpr auto kPruneInterval = std::chrono::seconds(10);
// How long process exit waits for the library's threads to stop.
constexpr auto kExitWait = std::chrono::seconds(1);
// How often one request may go out again after HTTP/2 servers refused it unprocessed; a server
// that refuses everything must not keep a request cycling until its deadline.
constexpr int kMaxResends = 64;

// The least time before its deadline that a request must have left to be sent: a tenth of its
// deadline, at most 50 ms.
Clock::duration leastTimeToSend(std::chrono::milliseconds deadline) {
  return std::min<Clock::duration>(deadline / 10, std::chrono::milliseconds(50));
}

// Milliseconds from `now` until `wake`, rounded up (so the loop never wakes just before a limit
// and spins), at most the prune interval.
int pollMilliseconds(Clock::time_point now, Clock::time_point wake) {
  if (wake <= now) return 0;
  const auto wait = std::min<Clock::duration>(wake - now, kPruneInterval);
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
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
  // Like libcurl's own examples: sleep until a socket is ready, a wake-up comes, or the next
  // limit (an idle time-out, a deadline, a queued deadline, the prune) is due.
  void run() {
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
      const Clock::time_point nextExpiry = failOverdue(now);
      queues.expireQueued(now, [this](Pending& p) { failQueued(p); });
      if (now >= nextPrune) {
        queues.prune(now);
        nextPrune = now + kPruneInterval;
      }
      admit();
      completions.push(finished);
      if (stopping || incomingWaiting()) continue;
      const auto wake = std::min({nextExpiry, queues.nextQueuedDeadline(), nextPrune});
      if (curl_multi_poll(multi, nullptr, 0, pollMilliseconds(now, wake), nullptr) != CURLM_OK) {
        std::this_thread::sleep_for(kBrokenPollPause);  // never spin on a broken poll
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
    const auto now = Clock::now();
    while (!stopping) {
      Origin* origin = queues.takeNext(work);
      if (origin == nullptr) return;
      // A request that would go out in the last moments before its deadline would almost surely
      // fail with its outcome unknown; it ends now instead, surely never sent.
      if (work.deadlineAt - now < leastTimeToSend(work.request.deadline)) {
        queues.release(*origin, now);
        failQueued(work);
        continue;
      }
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
    const std::string refused = configure(*s, share);
    if (!refused.empty()) return failUnsent(s, FailureKind::RefusedInput, refused);
    const CURLMcode added = curl_multi_add_handle(multi, s->easy);
    if (added != CURLM_OK) {
      return failUnsent(
          s, FailureKind::Transport,
          std::string("The transfer could not be started: ") + curl_multi_strerror(added));
    }
    active.push_back(s);
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

  // Ends the transfers past their deadline or idle for longer than their time-out; returns
  // when the next of the others is due.
  Clock::time_point failOverdue(Clock::time_point now) {
    std::vector<std::pair<Slot*, Ended>> overdue;
    auto next = Clock::time_point::max();
    for (Slot* s : active) {
      const auto idleAt = s->lastProgress + s->idleLimit;
      if (now >= s->work.deadlineAt) {
        overdue.emplace_back(s, Ended::Deadline);
      } else if (now > idleAt) {
        overdue.emplace_back(s, Ended::Idle);
      } else {
        next = std::min({next, s->work.deadlineAt, idleAt + std::chrono::milliseconds(1)});
      }
    }
    for (const auto& [s, ended] : overdue) {
      detach(s);
      finish(s, CURLE_OPERATION_TIMEDOUT, ended);
    }
    return next;
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
      return resendUnprocessed(s, ended);
    }
    auto [kind, text] = describeFailure(*s, code, ended);
    fail(s, kind, std::move(text));
  }

  // The server provably never processed the request (its stream was above a GOAWAY's last
  // stream id): it goes to the front of its origin's queue, for another connection. Past its
  // deadline, or refused too often, it fails as never sent.
  void resendUnprocessed(Slot* s, Ended ended) {
    const auto now = Clock::now();
    s->requestStarted = false;
    if (ended != Ended::Deadline && now < s->work.deadlineAt && s->work.resends < kMaxResends) {
      Pending work = std::move(s->work);
      ++work.resends;
      freeSlot(s);
      queues.addFront(std::move(work), now);
      return;
    }
    if (ended == Ended::Deadline || now >= s->work.deadlineAt) {
      return fail(s, FailureKind::Deadline, deadlineReason(s->work.request.deadline));
    }
    fail(s, FailureKind::Transport,
         "The server refused the request " + std::to_string(s->work.resends + 1) +
             " times without processing it");
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
    failed.response.error = deadlineReason(work.request.deadline);
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

namespace velmora {

Transport::~Transport() = default;

std::shared_ptr<Transport> sharedTransport() {
  // The session is never destroyed, so the pointer owns nothing.
  return std::shared_ptr<Transport>(std::shared_ptr<Transport>(), &detail::Session::shared());
}

}  // namespace velmora
