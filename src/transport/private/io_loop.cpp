#include "transport/private/io_loop.hpp"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace velmora::detail {
namespace {

// How long the loop pauses when polling fails, so that it never spins.
constexpr auto kBrokenPollPause = std::chrono::milliseconds(50);
// The least number of idle connections libcurl keeps for reuse. Its default, four per transfer
// attached when one ends, shrinks whenever few calls are under way (between rounds of calls, or
// while completions make the next calls): with sixteen HTTP/1.1 connections it closed some that
// the next calls then had to make again, a TLS handshake each. Above this, the cache grows with
// the connections the known origins may keep (see fitConnectionCache()).
constexpr long kKeptConnections = 64;
// How often origins unused for a while are forgotten.
constexpr auto kPruneInterval = std::chrono::seconds(10);

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

// Tells the CPU that this thread spins, so that it yields to the core's other hardware thread.
void relaxCpu() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

std::once_flag globalInitOnce;
CURLcode globalInitResult = CURLE_FAILED_INIT;

}  // namespace

IoLoop::IoLoop(CompletionQueue& completions, LoopClock clock)
    : completions(completions),
      clock(clock ? std::move(clock) : LoopClock([] { return Clock::now(); })) {}

IoLoop::~IoLoop() {
  stop(Clock::now() + std::chrono::seconds(10));
  if (wakeFd >= 0) close(wakeFd);
}

IoLoop::CurlHandles::~CurlHandles() {
  if (share != nullptr) curl_share_cleanup(share);
  if (multi != nullptr) curl_multi_cleanup(multi);
}

std::string IoLoop::start() {
  std::call_once(globalInitOnce, [] { globalInitResult = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (globalInitResult != CURLE_OK) {
    return std::string("libcurl could not be initialised: ") + curl_easy_strerror(globalInitResult);
  }
  wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) return "The transfer loop could not be started: no eventfd";
  curl.multi = curl_multi_init();
  curl.share = curl_share_init();
  keptConnections = kKeptConnections;
  if (curl.multi == nullptr || curl.share == nullptr ||
      curl_multi_setopt(curl.multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX) != CURLM_OK ||
      curl_multi_setopt(curl.multi, CURLMOPT_MAX_CONCURRENT_STREAMS,
                        static_cast<long>(kStreamsPerConnection)) != CURLM_OK ||
      curl_multi_setopt(curl.multi, CURLMOPT_MAXCONNECTS, keptConnections) != CURLM_OK ||
      curl_share_setopt(curl.share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) != CURLSHE_OK ||
      curl_share_setopt(curl.share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) != CURLSHE_OK) {
    return "libcurl could not be initialised: no transfer loop";
  }
  // No per-host connection cap is set in libcurl: admission keeps each origin within what
  // its connections carry, so a transfer handed to libcurl never waits there for one.
  transfers.attach(curl.multi, curl.share);
  // On one core a busy wait only delays the thread it waits for.
  waitsForCompletions = std::thread::hardware_concurrency() > 1;
  thread = std::thread([this] { run(); });
  return {};
}

void IoLoop::at(Clock::time_point when, std::function<void()> task) {
  bool sleeping = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    incomingTimers.push_back({when, ++timerOrder, std::move(task)});
    sleeping = asleep;
    asleep = false;
  }
  if (sleeping) wake();
}

void IoLoop::submit(Pending work) {
  work.deadlineAt = clampedDeadline(clock(), work.request.deadline);
  bool sleeping = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    incoming.push_back(std::move(work));
    hasIncoming.store(true, std::memory_order_release);
    // An awake thread looks at `incoming` before it sleeps: only a sleeping one needs the
    // system call, and only once however many submissions follow.
    sleeping = asleep;
    asleep = false;
    if (sleeping) wokenAt = Clock::now();
  }
  if (sleeping) wake();
}

// An eventfd rather than curl_multi_wakeup(): one write to wake, one read to rearm, where
// libcurl's socket pair takes a send and two reads.
void IoLoop::wake() {
  const std::uint64_t one = 1;
  while (write(wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void IoLoop::stop(Clock::time_point until) {
  stopping = true;
  if (!thread.joinable()) return;
  wake();
  std::unique_lock<std::mutex> lock(mutex);
  const bool ended = exitedCv.wait_until(lock, until, [this] { return exited; });
  lock.unlock();
  ended ? thread.join() : thread.detach();
}

// Like libcurl's own examples: sleep until a socket is ready, a wake-up comes, or the next
// limit (an idle time-out, a deadline, a queued deadline, an origin's widening, a client's
// timer, the prune) is due.
void IoLoop::run() {
  pthread_setname_np(pthread_self(), "velmora-io");  // for debuggers and `top -H`
  auto nextPrune = clock() + kPruneInterval;
  while (!stopping) {
    takeIncoming();
    const Clock::time_point nextTimer = runDueTimers(clock());
    admit();
    int running = 0;
    const CURLMcode performed = curl_multi_perform(curl.multi, &running);
    transfers.noteStarts();
    if (performed != CURLM_OK) transfers.failAll(performed);
    transfers.finishCompleted();
    // After libcurl has read what arrived, so that an answer waiting in a socket is never
    // taken for a stall.
    const auto now = clock();
    const Clock::time_point nextExpiry = transfers.failOverdue(now);
    queues.expireQueued(now, [this](Pending& p) { failQueued(p); });
    if (now >= nextPrune) {
      queues.prune(now);
      nextPrune = now + kPruneInterval;
    }
    admit();
    // Once the freed places are taken again: an origin widens only while its calls wait.
    const Clock::time_point nextWidening = queues.widen(now);
    fitConnectionCache();
    admit();
    runDirect();
    const bool handedOver = !finished.empty();
    completions.push(finished);
    if (handedOver && running == 0 && waitsForCompletions) awaitCompletions();
    if (stopping || !maySleep()) continue;
    sleepUntil(now, std::min({nextExpiry, queues.nextQueuedDeadline(), nextPrune, nextWidening,
                              nextTimer}));
  }
  std::lock_guard<std::mutex> lock(mutex);
  exited = true;
  exitedCv.notify_all();
}

// Stays awake while the completions just handed over run, until one of them makes a call or
// the wait's time is up (see HandOverWait).
void IoLoop::awaitCompletions() {
  handOverWait.handedOver(Clock::now());
  const auto giveUp = handOverWait.until();
  while (!hasIncoming.load(std::memory_order_acquire) && !stopping) {
    if (!completions.busy()) {
      handOverWait.nothingCame();
      return;
    }
    if (Clock::now() >= giveUp) return;
    relaxCpu();
  }
}

// Runs the timers due at `now` (they may submit requests, taken by the next round); returns
// when the next one is due.
Clock::time_point IoLoop::runDueTimers(Clock::time_point now) {
  while (!timers.empty() && timers.top().when <= now && !stopping) {
    std::function<void()> task = std::move(const_cast<Timed&>(timers.top()).task);
    timers.pop();
    Completion item{{}, {}, std::move(task)};
    runGuarded(item);
  }
  return timers.empty() ? Clock::time_point::max() : timers.top().when;
}

// Completions of clients with an executor of their own go to it from here, with no hop through
// the completion thread; the rest stay in `finished` for it.
void IoLoop::runDirect() {
  auto kept = finished.begin();
  for (Completion& item : finished) {
    if (!item.direct) {
      if (&*kept != &item) *kept = std::move(item);
      ++kept;
      continue;
    }
    if (stopping) continue;
    runGuarded(item);
  }
  finished.erase(kept, finished.end());
}

// False when a submission or a timer is waiting; else the thread counts as asleep from here on.
bool IoLoop::maySleep() {
  std::lock_guard<std::mutex> lock(mutex);
  if (!incoming.empty() || !incomingTimers.empty()) return false;
  asleep = true;
  return true;
}

void IoLoop::sleepUntil(Clock::time_point now, Clock::time_point until) {
  curl_waitfd woken{wakeFd, CURL_WAIT_POLLIN, 0};
  if (curl_multi_poll(curl.multi, &woken, 1, pollMilliseconds(now, until), nullptr) != CURLM_OK) {
    std::this_thread::sleep_for(kBrokenPollPause);  // never spin on a broken poll
    return;
  }
  // Reading the eventfd rearms it; a failed read means a wake-up was already taken.
  std::uint64_t count = 0;
  if (woken.revents != 0 && read(wakeFd, &count, sizeof count) < 0) count = 0;
}

void IoLoop::takeIncoming() {
  Clock::time_point arrived;
  {
    std::lock_guard<std::mutex> lock(mutex);
    asleep = false;
    taken.swap(incoming);
    takenTimers.swap(incomingTimers);
    hasIncoming.store(false, std::memory_order_relaxed);
    std::swap(arrived, wokenAt);
  }
  for (Timed& timed : takenTimers) timers.push(std::move(timed));
  takenTimers.clear();
  if (!taken.empty()) {
    handOverWait.callArrived(arrived == Clock::time_point{} ? Clock::now() : arrived);
  }
  const auto now = clock();
  for (Pending& work : taken) queues.add(std::move(work), now);
  taken.clear();
}

void IoLoop::admit() {
  Pending work;
  const auto now = clock();
  while (!stopping) {
    Origin* origin = queues.takeNext(work);
    if (origin == nullptr) return;
    // A request that would go out in the last moments before its deadline would almost surely
    // fail with its outcome unknown; it ends now instead, surely never sent.
    if (work.deadlineAt - now < leastTimeToSend(work.request.deadline)) {
      queues.release(*origin, work, now);
      failQueued(work);
      continue;
    }
    transfers.start(*origin, std::move(work));
  }
}

// libcurl counts the connections under way against its cache size too, and closes an idle one
// whenever a transfer ends above it: a cache smaller than what the origins keep open would cost
// a new connection, and a TLS handshake, for nearly every request of a widened origin.
void IoLoop::fitConnectionCache() {
  if (!queues.takeWidthsChanged()) return;
  const long wanted = std::max(kKeptConnections, static_cast<long>(queues.connectionsAllowed()));
  if (wanted == keptConnections) return;
  if (curl_multi_setopt(curl.multi, CURLMOPT_MAXCONNECTS, wanted) == CURLM_OK)
    keptConnections = wanted;
}

void IoLoop::failQueued(Pending& work) {
  Completion failed{std::move(work.onDone), {}, {}, work.direct};
  failed.response.failed = true;
  failed.response.kind = FailureKind::Deadline;
  failed.response.requestMayHaveArrived = false;
  failed.response.error = deadlineReason(work.request.deadline);
  finished.push_back(std::move(failed));
}

}  // namespace velmora::detail
