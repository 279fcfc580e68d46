#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>
#include <vector>

#include "transport/private/completion_queue.hpp"
#include "transport/private/libcurl_lines.hpp"
#include "transport/private/origin_queue.hpp"
#include "transport/private/transfer.hpp"

namespace velmora::detail {

/// The transfers handed to libcurl's multi handle: starting one in a reused slot, ending it
/// when libcurl is done or it passes its deadline or idle limit, and turning each end into a
/// completion (or, after a GOAWAY, a place back in its origin's queue). Touched by the I/O
/// thread only.
class RunningTransfers {
 public:
  /// Ended transfers give their origin's place back to `queues` and add their completion to
  /// `finished`; progress and ends are timed by `clock`.
  RunningTransfers(OriginQueues& queues, std::vector<Completion>& finished, const LoopClock& clock);
  RunningTransfers(const RunningTransfers&) = delete;
  RunningTransfers& operator=(const RunningTransfers&) = delete;
  /// Takes every transfer off the multi handle; the slots and their handles go with the object.
  ~RunningTransfers();

  /// The handles every transfer runs in and shares; set once, before the first start().
  void attach(CURLM* multi, CURLSH* share);

  /// Hands `work`, admitted for `origin`, to libcurl (or fails it at once as never sent).
  void start(Origin& origin, Pending work);
  /// Tells the origins' queues what the requests that went out since the last call show: the
  /// protocol their handshake chose, and the connection each went out on. Call after each of
  /// libcurl's steps, before anything else looks at the queues.
  void noteStarts();
  /// Ends the transfers libcurl reports done.
  void finishCompleted();
  /// Ends the transfers past their deadline or idle for longer than their time-out, and those
  /// libcurl is about to send again after losing their connection; returns when the next of the
  /// others is due.
  Clock::time_point failOverdue(Clock::time_point now);
  /// The loop itself failed: every transfer under way ends with the reason.
  void failAll(CURLMcode code);

 private:
  Slot* takeSlot();
  void detach(Slot* s);
  void finish(Slot* s, CURLcode code, Ended ended);
  void resendUnprocessed(Slot* s);
  void fail(Slot* s, FailureKind kind, std::string error);
  void failUnsent(Slot* s, FailureKind kind, std::string error);
  void deliver(Slot* s);
  void freeSlot(Slot* s);

  CURLM* multi = nullptr;
  CURLSH* share = nullptr;
  OriginQueues& queues;
  std::vector<Completion>& finished;
  const LoopClock& clock;
  GoAwayLedger goaways;
  std::vector<std::unique_ptr<Slot>> slots;
  std::vector<Slot*> spareSlots;
  std::vector<Slot*> active;
  std::vector<Slot*> startedNow;  // requests libcurl started since the last noteStarts()
};

}  // namespace velmora::detail
