#pragma once

#include <curl/curl.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <vector>

#include "transport/private/completion_queue.hpp"
#include "transport/private/hand_over_wait.hpp"
#include "transport/private/origin_queue.hpp"
#include "transport/private/running_transfers.hpp"

namespace velmora::detail {

/// The I/O thread and its loop: it takes submitted requests, admits them per origin, drives
/// libcurl's multi interface, ends what passed its limits, runs the timers of the clients' own
/// queues (pacing, back-off), and hands finished exchanges to the completion queue in batches,
/// or to their executor for clients that have one. Runs no application code but what an
/// executor of the application's runs when handed a completion.
class IoLoop {
 public:
  /// `clock` times the requests' limits and the timers; empty: the steady clock. The loop's
  /// own busy wait (see awaitCompletions()) always runs on the steady clock.
  explicit IoLoop(CompletionQueue& completions, LoopClock clock = {});
  IoLoop(const IoLoop&) = delete;
  IoLoop& operator=(const IoLoop&) = delete;
  /// Stops the thread (see stop()) and frees libcurl's handles. The session's loop is never
  /// destroyed; a test's is, once its thread has ended.
  ~IoLoop();

  /// Sets libcurl up and starts the thread. Empty on success, else why no request can go out.
  std::string start();

  /// Queues `work`, its deadline counted from now on the loop's clock, and wakes the thread if
  /// it sleeps. Any thread.
  void submit(Pending work);

  /// Runs `task` on the I/O thread at `when` or soon after, never inside this call. Tasks must
  /// be short: they hand requests on. Any thread.
  void at(Clock::time_point when, std::function<void()> task);

  /// Makes the loop stop between two steps and waits until `until` for the thread to end
  /// (else leaves it to the process's end). Queued and running requests are dropped.
  void stop(Clock::time_point until);

 private:
  void run();
  void sleepUntil(Clock::time_point now, Clock::time_point until);
  bool maySleep();
  void awaitCompletions();
  void wake();
  void takeIncoming();
  void admit();
  void fitConnectionCache();
  void failQueued(Pending& work);
  Clock::time_point runDueTimers(Clock::time_point now);
  void runDirect();

  struct Timed {
    Clock::time_point when;
    unsigned long long order;  // equal times run in the order they were set
    std::function<void()> task;
    bool operator>(const Timed& other) const {
      return when != other.when ? when > other.when : order > other.order;
    }
  };

  // Frees libcurl's handles after the transfers that use them (declared after it).
  struct CurlHandles {
    CURLM* multi = nullptr;
    CURLSH* share = nullptr;
    ~CurlHandles();
  };

  CompletionQueue& completions;
  const LoopClock clock;
  CurlHandles curl;
  std::thread thread;
  std::atomic<bool> stopping{false};

  int wakeFd = -1;  // an eventfd: written to end the thread's sleep in curl_multi_poll

  std::mutex mutex;
  std::condition_variable exitedCv;
  bool exited = false;
  // The thread sleeps, or is about to, with nothing incoming, and no one has woken it since.
  // Only then does a submission pay for a wake-up.
  bool asleep = false;
  std::vector<Pending> incoming;
  std::vector<Timed> incomingTimers;
  unsigned long long timerOrder = 0;
  std::atomic<bool> hasIncoming{false};  // `incoming` is not empty; read unlocked
  Clock::time_point wokenAt;  // when a submission last woke the thread, unless taken since

  // Touched by the I/O thread only.
  bool waitsForCompletions = false;  // see awaitCompletions()
  long keptConnections = 0;          // libcurl's CURLMOPT_MAXCONNECTS as last set
  HandOverWait handOverWait;
  std::vector<Pending> taken;
  std::vector<Timed> takenTimers;
  std::priority_queue<Timed, std::vector<Timed>, std::greater<Timed>> timers;
  OriginQueues queues;
  std::vector<Completion> finished;  // since the last hand-over to the completion thread
  RunningTransfers transfers{queues, finished, clock};
};

}  // namespace velmora::detail
