#include "call/call_queue.hpp"

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <utility>

#include "transport/session.hpp"

namespace velmora::detail {

struct CallQueue::Call {
  HttpRequest request;
  CallContext context;  // its deadline from the original call: retries and waiting count too
  Done onDone;
  unsigned long long order = 0;  // calls with equal deadlines go in the order they came
  Repeat repeat = Repeat::IfNeverSent;
};

namespace {

using Milliseconds = std::chrono::duration<double, std::milli>;

SteadyClock::duration intervalAt(double perSecond) {
  if (perSecond <= 0) return SteadyClock::duration::zero();
  return std::chrono::duration_cast<SteadyClock::duration>(
      std::chrono::duration<double>(1.0 / perSecond));
}

// The bucket holds max(1, rate / 50) tokens (20 ms worth): a timer that wakes a little late
// does not lose the rate, and a quiet client may send that many at once.
SteadyClock::duration toleranceAt(double perSecond) {
  const double tokens = std::max(1.0, std::floor(perSecond / 50));
  return intervalAt(perSecond) * static_cast<long long>(tokens - 1);
}

// A status that says the service could not take the request now, not that it refused it.
bool passingStatus(long status) {
  return status >= 500 || status == 408 || status == 429;
}

// A send may go again only when it provably never left: anything else could arrive twice. A read
// may go again after any failure that is not final, since it delivers nothing.
bool worthAnotherTry(const HttpResponse& response, bool mayHaveArrived) {
  if (!response.failed) return mayHaveArrived && passingStatus(response.status);
  return (mayHaveArrived || !response.requestMayHaveArrived) &&
         response.kind != FailureKind::RefusedInput && response.kind != FailureKind::Shutdown &&
         response.kind != FailureKind::Deadline;
}

// The pause after `triesMade` failed tries, jittered downwards.
SteadyClock::duration backoff(const RetryPolicy& policy, int triesMade) {
  const double longest = Milliseconds(HttpRequest::kLongestTimeLimit).count();
  const double full = std::min(longest, static_cast<double>(policy.firstBackoff.count()) *
                                            std::pow(policy.multiplier, triesMade - 1));
  const double low = full * (1 - policy.jitter);
  thread_local std::mt19937_64 random{std::random_device{}()};
  const double drawn =
      low < full ? std::uniform_real_distribution<double>(low, full)(random) : full;
  return std::chrono::duration_cast<SteadyClock::duration>(Milliseconds(drawn));
}

// What is left of a call's deadline, as a transport takes it: whole milliseconds, at least one.
std::chrono::milliseconds remaining(SteadyClock::time_point deadline, SteadyClock::time_point now) {
  return std::max(std::chrono::milliseconds(1),
                  std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
}

// How many of the library's completions this thread is running: `drain` must not wait inside
// one, since the calls it waits for may need this very thread.
thread_local int completionsRunning = 0;

// Marks the thread as running a completion, and counts the call as complete once the
// completion returned, even when it threw.
template <class Count>
struct CompletionScope {
  explicit CompletionScope(Count& c) : count(c) { ++completionsRunning; }
  ~CompletionScope() {
    --completionsRunning;
    count.finished();
  }
  Count& count;
};

// Hands `task` to `executor`. An executor that throws broke its contract; the task is lost with
// the exception, which is dropped so that the thread that handed it over lives on.
void handTo(const Executor& executor, std::function<void()> task) {
  try {
    executor(std::move(task));
  } catch (...) {
  }
}

// Runs `body`, one of a client's completions: straight away, or handed on to `executor`.
// Counted as complete once it returned.
template <class Count, class Body>
void runCompletion(const std::shared_ptr<Count>& count, const Executor& executor, Body body) {
  if (!executor) {
    CompletionScope<Count> scope{*count};
    body();
    return;
  }
  handTo(executor, [count, body = std::move(body)]() mutable {
    CompletionScope<Count> scope{*count};
    body();
  });
}

// The completion of a call that ended with `response`.
template <class Count>
void finish(const std::shared_ptr<Count>& count, const Executor& executor, CallQueue::Done onDone,
            CallContext context, HttpResponse& response) {
  runCompletion(count, executor,
                [onDone = std::move(onDone), context = std::move(context),
                 response = std::move(response)]() mutable { onDone(response, context); });
}

}  // namespace

bool CallQueue::Sooner::operator()(const std::shared_ptr<Call>& a,
                                   const std::shared_ptr<Call>& b) const {
  // std::priority_queue keeps the greatest on top: "greater" here means "due later".
  const SteadyClock::time_point x = a->context.deadline;
  const SteadyClock::time_point y = b->context.deadline;
  return x != y ? x > y : a->order > b->order;
}

CallQueue::CallQueue(std::shared_ptr<Transport> fixed, CallLimits limits, Executor executor,
                     std::shared_ptr<CallTime> time)
    : fixed_(std::move(fixed)),
      limits_(limits),
      executor_(std::move(executor)),
      time_(std::move(time)),
      paced_(limits.maxRequestsPerSecond > 0 || limits.maxInFlight > 0),
      interval_(intervalAt(limits.maxRequestsPerSecond)),
      tolerance_(toleranceAt(limits.maxRequestsPerSecond)) {}

std::shared_ptr<Transport> CallQueue::downstream() const {
  return fixed_ ? fixed_ : sharedTransport();
}

void CallQueue::transmit(HttpRequest request, std::function<void(HttpResponse&)> onDone) {
  if (fixed_) {
    fixed_->submit(std::move(request), std::move(onDone));
    return;
  }
  // With an executor the answer needs no stop on the completion thread on its way to it.
  Session::shared().submit(
      std::move(request), std::move(onDone),
      executor_ ? Session::Delivery::IoThread : Session::Delivery::CompletionThread);
}

void CallQueue::later(std::function<void()> step) {
  if (executor_ && !fixed_) {
    time_->at(time_->now(), std::move(step));
  } else {
    downstream()->post(std::move(step));
  }
}

void CallQueue::submit(HttpRequest request, CallContext context, Done onDone, Repeat repeat) {
  ++count_->running;
  context.deadline = time_->now() + request.deadline;
  if (!paced_ && limits_.retry.attempts <= 1) {  // the common case: one count and one wrapper
    context.attempts = 1;
    transmit(std::move(request),
             [count = count_, executor = executor_, context = std::move(context),
              onDone = std::move(onDone)](HttpResponse& r) mutable {
               finish(count, executor, std::move(onDone), std::move(context), r);
             });
    return;
  }
  auto call = std::make_shared<Call>();
  call->request = std::move(request);
  call->context = std::move(context);
  call->onDone = std::move(onDone);
  call->repeat = repeat;
  admit(std::move(call));
}

void CallQueue::post(std::function<void()> task) {
  ++count_->running;
  later([count = count_, executor = executor_, task = std::move(task)]() mutable {
    runCompletion(count, executor, std::move(task));
  });
}

std::size_t CallQueue::drain(std::chrono::milliseconds timeout) {
  // Waiting here would hold up the very completions being waited for.
  Count& count = *count_;
  if (completionsRunning > 0 || downstream()->onCompletionThread()) return count.running.load();
  ++count.draining;
  std::unique_lock<std::mutex> lock(count.mutex);
  count.idle.wait_for(lock, timeout, [&count] { return count.running.load() == 0; });
  --count.draining;
  return count.running.load();
}

void CallQueue::Count::finished() {
  // A drain that saw calls running counted itself first, so this sees it and wakes it.
  if (--running == 0 && draining.load() > 0) {
    std::lock_guard<std::mutex> lock(mutex);
    idle.notify_all();
  }
}

void CallQueue::admit(std::shared_ptr<Call> call) {
  if (!paced_) {
    send(call);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (call->order == 0) call->order = ++order_;  // a retry keeps its place
    waiting_.push(std::move(call));
  }
  pumpAndDispatch();
}

void CallQueue::send(const std::shared_ptr<Call>& call) {
  const SteadyClock::time_point now = time_->now();
  if (now >= call->context.deadline) {  // e.g. a back-off that ended just before the deadline
    leaveFlight();
    expire(call);
    return;
  }
  ++call->context.attempts;
  // A call that may be tried again keeps its request; otherwise the transport takes it.
  HttpRequest request = limits_.retry.attempts > 1 ? call->request : std::move(call->request);
  request.deadline = remaining(call->context.deadline, now);
  transmit(std::move(request),
           [self = shared_from_this(), call](HttpResponse& r) { self->onExchangeEnd(call, r); });
}

void CallQueue::leaveFlight() {
  if (!paced_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --inFlight_;
  }
  pumpAndDispatch();
}

void CallQueue::onExchangeEnd(const std::shared_ptr<Call>& call, HttpResponse& response) {
  leaveFlight();
  if (retryLater(call, response)) return;
  complete(call, response);
}

bool CallQueue::retryLater(const std::shared_ptr<Call>& call, const HttpResponse& response) {
  const bool repeatable = call->repeat == Repeat::IfTransient && limits_.retry.reads;
  const int tries = call->context.attempts;
  if (tries >= limits_.retry.attempts || !worthAnotherTry(response, repeatable)) return false;
  const SteadyClock::time_point at = time_->now() + backoff(limits_.retry, tries);
  if (at >= call->context.deadline) return false;
  time_->at(at, [self = shared_from_this(), call] { self->admit(call); });
  return true;
}

void CallQueue::complete(const std::shared_ptr<Call>& call, HttpResponse& response) {
  finish(count_, executor_, std::move(call->onDone), std::move(call->context), response);
}

void CallQueue::expire(const std::shared_ptr<Call>& call) {
  later([self = shared_from_this(), call] {
    HttpResponse response;
    response.failed = true;
    response.kind = FailureKind::Deadline;
    response.requestMayHaveArrived = false;
    response.error = "The call passed its deadline while it waited in the client's queue";
    self->complete(call, response);
  });
}

void CallQueue::release(SteadyClock::time_point now, Batch& ready, Batch& expired) {
  while (!waiting_.empty()) {
    const std::shared_ptr<Call>& next = waiting_.top();
    if (next->context.deadline <= now) {
      expired.push_back(next);
    } else if (limits_.maxInFlight > 0 && inFlight_ >= limits_.maxInFlight) {
      break;  // the next exchange to end releases more
    } else if (nextSlot_ - tolerance_ > now) {
      arm(nextSlot_ - tolerance_);
      break;
    } else {
      nextSlot_ = std::max(nextSlot_, now) + interval_;
      ++inFlight_;
      ready.push_back(next);
    }
    waiting_.pop();
  }
  if (!waiting_.empty()) arm(waiting_.top()->context.deadline);
}

void CallQueue::arm(SteadyClock::time_point when) {
  if (armed_ && *armed_ <= when) return;
  armed_ = when;
  time_->at(when, [self = shared_from_this(), when] { self->onTimer(when); });
}

void CallQueue::onTimer(SteadyClock::time_point when) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (armed_ == when) armed_.reset();
  }
  pumpAndDispatch();
}

void CallQueue::pumpAndDispatch() {
  Batch ready;
  Batch expired;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    release(time_->now(), ready, expired);
  }
  dispatch(ready, expired);
}

void CallQueue::dispatch(const Batch& ready, const Batch& expired) {
  for (const std::shared_ptr<Call>& call : expired) expire(call);
  for (const std::shared_ptr<Call>& call : ready) send(call);
}

}  // namespace velmora::detail

namespace velmora {

Executor inlineExecutor() {
  return [](std::function<void()> task) { task(); };
}

}  // namespace velmora
