#pragma once

// The libcurl session: how requests travel and when they end.
//
// Threads. One I/O thread drives every transfer through libcurl's multi interface and runs the
// timers of the clients' queues; it runs no application code, but for the completions of clients
// with an executor of their own, which it hands to that executor. One completion thread, started
// by the first completion it gets, runs the other completions (and posted tasks) one at a time,
// in the order the exchanges finished. Other threads only queue work and wake the I/O thread. A
// process made by fork() drops the parent's session and starts its own on first use.
//
// Ownership. The session lives until the process exits and is never destroyed. A request, its
// completion and its answer belong to the session from submit() until the completion has run;
// the I/O thread owns the libcurl handles, the origin queues and the transfers under way; the
// completion queue is shared under one lock.
//
// Queues. Each origin (scheme, host and port, with the request's trust store, proxy and
// per-origin limits) has its own queue. Its admitted transfers never exceed what its connections
// carry at once: one until a connection is up, then what its TLS handshake chose. Over HTTP/1.1,
// one request per connection: the client's limit, or, left to the origin, 16 widened to 256 once
// its calls have waited 50 ms and every answer since they started waiting took 100 ms or more.
// Over HTTP/2, streams: one connection's 100 first (libcurl keeps each connection within the
// server's own SETTINGS_MAX_CONCURRENT_STREAMS), then one more connection at a time: one place
// is added beyond what the connections in use carry, so that libcurl opens another, and the
// origin widens by 100 streams once a request goes out on a connection more than it counted.
// Origins take turns (round robin), so a stalled origin never delays another.
//
// At most once. A request is written to the network at most once. libcurl, when a reused
// connection dies before any answer byte, sends the request again on a fresh connection; the
// server may already have read it, so the session stops that resend (at the pre-request
// callback, or as soon as libcurl says it will retry, since waiting for the fresh connection
// can stall) and the call fails as "may have arrived". The one exception is HTTP/2's own
// guarantee: a stream above the last stream id of a GOAWAY was not processed. For HTTP/2
// origins (and origins whose handshake has not said yet) the session reads libcurl's
// informational lines of every transfer (connection number, stream id, GOAWAY and its last
// stream id); a request whose stream is provably above the GOAWAY of the connection it went
// out on goes back to the front of its origin's queue, within its deadline (past it, it fails
// as never sent); GOAWAYs that refused a whole connection may do so at most 64 times per
// request. How a line is read is chosen once from libcurl's version: the connection comes from
// CURLINFO_CONN_ID from 8.2 and from the "#N" of its lines before. A libcurl outside the
// versions whose wording is known, or built without its informational lines, gets HTTP/1.1 for
// every origin, since it could never prove a refused stream unprocessed. Limits: the server's
// GOAWAY is believed; a RST_STREAM with REFUSED_STREAM and no GOAWAY cannot be told from a lost
// connection and is reported as "may have arrived".
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

  /// Where a completion runs.
  enum class Delivery {
    CompletionThread,  ///< the session's completion thread, one at a time
    IoThread,  ///< the I/O thread, as soon as the exchange ends: for `onDone`s that only hand
               ///< the answer to an executor (or run completions that never block)
  };
  /// As above, with `onDone` run where `delivery` says.
  void submit(HttpRequest request, std::function<void(HttpResponse&)> onDone, Delivery delivery);

  /// Runs `task` at `when` or soon after on the I/O thread (the one thread of the library's
  /// timers), never inside this call; it must be short. Any thread.
  void runAt(std::chrono::steady_clock::time_point when, std::function<void()> task);

  /// Runs `task` once on the completion thread, soon (used to fail a call without sending it).
  void post(std::function<void()> task) override;

  /// True on the completion thread.
  bool onCompletionThread() const override;

  /// Why the session speaks HTTP/1.1 to every origin (the libcurl it runs with cannot prove
  /// which refused HTTP/2 streams were never processed); empty when it uses HTTP/2. Any thread.
  static const std::string& http2Withheld();

  class Impl;

 private:
  Session() = default;
  Impl& impl() const;
};

}  // namespace velmora::detail
