#pragma once

// The libcurl session: how requests travel and when they end.
//
// Threads. One I/O thread drives every transfer through libcurl's multi interface and runs no
// application code. One completion thread runs the completions (and posted tasks) one at a
// time, in the order the exchanges finished. Other threads only queue work and wake the I/O
// thread. A process made by fork() drops the parent's session and starts its own on first use.
//
// Ownership. The session lives until the process exits and is never destroyed. A request, its
// completion and its answer belong to the session from submit() until the completion has run;
// the I/O thread owns the libcurl handles, the origin queues and the transfers under way; the
// completion queue is shared under one lock.
//
// Queues. Each origin (scheme, host and port, with the request's trust store and proxy) has
// its own queue. Its admitted transfers never exceed what its connections carry at once: one
// until a connection is up, then 16 (HTTP/1.1, one per connection), then 100 once an answer
// shows HTTP/2 (streams on one connection). Origins take turns (round robin), so a stalled
// origin never delays another.
//
// Time-outs. The idle time-out runs only while a request is admitted and its connection moves
// no byte; queueing and completions never count, and data libcurl already has is read before
// stalls are looked for. The deadline runs from submit() to the end of the exchange, queueing
// included. At process exit the loop stops between two transfers' work: queued and running
// requests are dropped and no completion runs after exit began.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "transport/transport.hpp"

namespace velmora::detail {

/// The process-wide libcurl transport (see the design note above).
class Session final : public Transport {
 public:
  /// The session, started on first use (again in a child made by fork()). Any thread.
  static Session& shared();

  /// Queues `request`; `onDone` runs once on the completion thread when the exchange ends.
  /// Any thread; never runs `onDone` inside the call.
  void submit(HttpRequest request, std::function<void(HttpResponse&)> onDone) override;

  /// Runs `task` once on the completion thread, soon (used to fail a call without sending it).
  void post(std::function<void()> task) override;

  /// True on the completion thread.
  bool onCompletionThread() const override;
  /// Same as onCompletionThread(): the thread completions run on.
  bool onSessionThread() const { return onCompletionThread(); }

  class Impl;

 private:
  Session() = default;
  Impl& impl() const;
};

}  // namespace velmora::detail
