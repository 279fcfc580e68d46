#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "velmora/options.hpp"

namespace velmora::test {

/// A request as the loopback server received it.
struct ReceivedRequest {
  std::string method;
  std::string path;
  std::multimap<std::string, std::string, httplib::detail::ci> headers;  // case-insensitive keys
  std::string body;
  bool hasHeader(const std::string& name) const { return headers.count(name) != 0; }
  std::string header(const std::string& name) const;
};

using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

/// An HTTP or HTTPS server on 127.0.0.1, port 0, running in this test process.
/// HTTPS uses a certificate for 127.0.0.1 and localhost generated at start, whose PEM is
/// `caFile()`. Every request is recorded; the handler decides the answer (default: 200 "{}").
class LoopbackServer {
 public:
  enum class Scheme { Http, Https };
  explicit LoopbackServer(Scheme scheme = Scheme::Https);
  ~LoopbackServer();

  /// "https://127.0.0.1:PORT" (or http), no trailing slash.
  std::string baseUrl() const;
  int port() const { return port_; }
  /// PEM of the server's self-signed certificate (empty for Http).
  const std::string& caFile() const { return caFile_; }

  /// Replaces the handler; safe while the server runs.
  void setHandler(Handler handler);
  /// Answers every request with `status`, `body` and the given content type.
  void answer(int status, std::string body, std::string contentType = "application/json");

  /// Requests received so far, in arrival order.
  std::vector<ReceivedRequest> requests() const;
  /// Waits until at least `count` requests arrived; false on time-out.
  bool waitForRequests(std::size_t count,
                       std::chrono::milliseconds limit = std::chrono::seconds(10));

  /// Options that point a client's REST and SOAP endpoints at this server and trust it.
  /// `timeout` defaults to 10 s so that a broken test fails quickly.
  Options options(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  Scheme scheme_;
  std::string caFile_;
  std::string keyFile_;
};

/// Collects the library's printed lines while alive (instead of standard output).
class LineCapture {
 public:
  LineCapture();
  ~LineCapture();
  std::vector<std::string> lines() const;
  /// Lines equal to `line`.
  std::size_t count(const std::string& line) const;
  void clear();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

/// Waits for completions that arrive on the session thread.
/// `expect(n)` then `wait()`: true once `n` completions have called `done()` within the limit.
class Latch {
 public:
  explicit Latch(std::size_t expected = 1) : expected_(expected) {}
  void done();
  bool wait(std::chrono::milliseconds limit = std::chrono::seconds(15));
  std::size_t count() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::size_t expected_;
  std::size_t count_ = 0;
};

}  // namespace velmora::test
