#include "transport/private/running_transfers.hpp"

#include <algorithm>
#include <utility>

#include "transport/private/goaway_resend.hpp"

namespace velmora::detail {

RunningTransfers::RunningTransfers(OriginQueues& queues, std::vector<Completion>& finished,
                                   const LoopClock& clock)
    : queues(queues), finished(finished), clock(clock) {}

RunningTransfers::~RunningTransfers() {
  for (Slot* s : active) curl_multi_remove_handle(multi, s->easy);
}

void RunningTransfers::attach(CURLM* multiHandle, CURLSH* shareHandle) {
  multi = multiHandle;
  share = shareHandle;
}

Slot* RunningTransfers::takeSlot() {
  if (spareSlots.empty()) {
    slots.push_back(std::make_unique<Slot>());
    slots.back()->goaways = &goaways;
    slots.back()->started = &startedNow;
    slots.back()->clock = &clock;
    return slots.back().get();
  }
  Slot* s = spareSlots.back();
  spareSlots.pop_back();
  return s;
}

void RunningTransfers::start(Origin& origin, Pending work) {
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

// Here rather than in libcurl's callback, so that the queues change only between libcurl's steps.
void RunningTransfers::noteStarts() {
  if (startedNow.empty()) return;
  const auto now = clock();
  for (Slot* s : startedNow) {
    // The handshake tells what the connection carries: widen the origin now, not at its answer.
    Origin& origin = *s->origin;
    if (s->attempt.handshake != Protocol::Unknown && s->attempt.handshake != origin.protocol) {
      queues.setProtocol(origin, s->attempt.handshake, now);
    } else if (origin.protocol == Protocol::Unknown) {
      queues.setProtocol(origin, Protocol::Http1, now);
    }
    queues.started(origin, s->work, s->attempt.connection, now);
  }
  startedNow.clear();
}

void RunningTransfers::finishCompleted() {
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

Clock::time_point RunningTransfers::failOverdue(Clock::time_point now) {
  std::vector<std::pair<Slot*, Ended>> overdue;
  auto next = Clock::time_point::max();
  for (Slot* s : active) {
    const auto idleAt = s->attempt.lastProgress + s->idleLimit;
    if (now >= s->work.deadlineAt) {
      overdue.emplace_back(s, Ended::Deadline);
    } else if (s->attempt.betweenAttempts) {
      // libcurl lost the connection and would send the request again on another one, which the
      // pre-request callback refuses anyway. Waiting for that connection is not only useless:
      // libcurl 8.x can leave such a transfer waiting for good on a connection being set up.
      s->attempt.resendStopped = true;
      overdue.emplace_back(s, Ended::ByLibcurl);
    } else if (now > idleAt) {
      overdue.emplace_back(s, Ended::Idle);
    } else {
      next = std::min({next, s->work.deadlineAt, idleAt + std::chrono::milliseconds(1)});
    }
  }
  for (const auto& [s, ended] : overdue) {
    detach(s);
    finish(s, ended == Ended::ByLibcurl ? CURLE_ABORTED_BY_CALLBACK : CURLE_OPERATION_TIMEDOUT,
           ended);
  }
  return next;
}

void RunningTransfers::failAll(CURLMcode code) {
  std::vector<Slot*> all = active;
  for (Slot* s : all) {
    detach(s);
    s->attempt.response = HttpResponse();
    fail(s, FailureKind::Transport,
         std::string("The transfer loop failed: ") + curl_multi_strerror(code));
  }
}

// Takes a transfer off the multi handle and out of the active list.
void RunningTransfers::detach(Slot* s) {
  curl_multi_remove_handle(multi, s->easy);  // fails only for a handle it does not hold
  auto it = std::find(active.begin(), active.end(), s);
  *it = active.back();
  active.pop_back();
}

void RunningTransfers::finish(Slot* s, CURLcode code, Ended ended) {
  if (ended == Ended::ByLibcurl && code == CURLE_OK && s->attempt.headersComplete) {
    long status = 0;
    curl_easy_getinfo(s->easy, CURLINFO_RESPONSE_CODE, &status);
    s->attempt.response.status = status;
    // Only a status outside 2xx is ever described; a 2xx answer skips keeping its headers.
    if (status < 200 || status > 299) {
      s->attempt.response.statusLine = std::move(s->attempt.statusLine);
      s->attempt.response.headers = std::move(s->attempt.headerLines);
    }
    return deliver(s);
  }
  if (provablyUnprocessed(*s)) return resendUnprocessed(s);
  auto [kind, text] = describeFailure(*s, code, ended);
  fail(s, kind, std::move(text));
}

// The server never processed the request: it goes to the front of its origin's queue, for
// another connection, unless it may not go out again; then it fails as never sent. Past its
// deadline, the queue fails it (as never sent) before it can be admitted again.
void RunningTransfers::resendUnprocessed(Slot* s) {
  const auto now = clock();
  // The request went out on this handle, so libcurl counted a resend on it (see fail()).
  s->configured = false;
  s->attempt.requestStarted = false;
  if (auto refusal = whyNotResent(s->work)) {
    return fail(s, refusal->first, std::move(refusal->second));
  }
  Pending work = std::move(s->work);
  if (!s->goaways->madeProgress(s->attempt.connection)) ++work.resends;
  freeSlot(s);
  queues.addFront(std::move(work), now);
}

void RunningTransfers::fail(Slot* s, FailureKind kind, std::string error) {
  // libcurl counts its resends per handle and never resets the count between requests: past
  // five it gives up on a dead connection without asking. A reset handle starts from zero.
  if (s->attempt.requestStarted) s->configured = false;
  s->attempt.response.failed = true;
  s->attempt.response.kind = kind;
  s->attempt.response.error = std::move(error);
  s->attempt.response.requestMayHaveArrived = s->attempt.requestStarted;
  s->attempt.response.body.clear();
  deliver(s);
}

// A request that ends before libcurl had it: nothing was sent.
void RunningTransfers::failUnsent(Slot* s, FailureKind kind, std::string error) {
  s->attempt.response = HttpResponse();
  s->attempt.requestStarted = false;
  fail(s, kind, std::move(error));
}

// Frees the slot and its origin's place, and queues the completion.
void RunningTransfers::deliver(Slot* s) {
  finished.push_back(
      Completion{std::move(s->work.onDone), std::move(s->attempt.response), {}, s->work.direct});
  freeSlot(s);
}

void RunningTransfers::freeSlot(Slot* s) {
  queues.release(*s->origin, s->work, clock());
  s->work = Pending();
  s->origin = nullptr;
  spareSlots.push_back(s);
}

}  // namespace velmora::detail
