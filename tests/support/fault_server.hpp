#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "self_signed_certificate.hpp"
#include "transport/transport.hpp"
#include "velmora/options.hpp"

namespace velmora::test {

class Diagnostics;
class FaultServer;

/// One accepted connection of a `FaultServer`, as the script sees it. Every wait is bounded: by
/// the connection's own limit (30 s) and by the server stopping, so no script can hang a test.
class FaultConnection {
 public:
  /// Reads one HTTP request (head and Content-Length body) and returns it as received; empty when
  /// the peer closed or the request could not be read. On a TLS server this completes the
  /// handshake first.
  std::string readRequest();
  /// Sends `bytes` in one go (TLS: encrypted); false when the peer is gone.
  bool send(std::string_view bytes);
  /// Sends `bytes` in pieces of `piece` bytes, one piece every `interval`.
  bool drip(std::string_view bytes, std::size_t piece, std::chrono::milliseconds interval);
  /// Waits until the peer's kernel has acknowledged every byte sent: they wait in the peer's
  /// socket, and its next read gets them. False when the peer is gone or the limit passed.
  bool awaitAcknowledged();
  /// Reads raw bytes from the socket, below any TLS, until at least one arrived; for a server
  /// that stops inside the handshake.
  std::size_t readRawBytes();
  /// Waits, sending nothing, until the peer closes, the server stops or `limit` passes.
  void stall(std::chrono::milliseconds limit = std::chrono::seconds(30));
  /// Ends the connection with a TCP reset (SO_LINGER 0) instead of an orderly close.
  void reset();
  /// Ends the connection with an orderly close (TLS: without a close_notify).
  void close();

  ~FaultConnection();
  FaultConnection(const FaultConnection&) = delete;
  FaultConnection& operator=(const FaultConnection&) = delete;

 private:
  friend class FaultServer;
  FaultConnection(int fd, void* tls, const std::atomic<bool>& stopping);
  bool handshake();
  /// After a TLS call returned `returned` (not a success): waits for what it needs and returns
  /// true to call it again, or false when the connection failed.
  bool retryTls(int returned);
  bool waitFor(short events);
  long readSome(char* buffer, std::size_t size);

  FaultServer* owner_ = nullptr;  // records each request read
  int fd_;
  void* tls_;  // SSL*, or null on a plain server
  bool handshakeDone_ = false;
  const std::atomic<bool>& stopping_;
  std::chrono::steady_clock::time_point deadline_;
  std::string pending_;  // bytes read past the end of the last request
};

/// What a `FaultServer` does with one connection. Runs on a thread of its own.
using FaultScript = std::function<void(FaultConnection&)>;

/// A raw-socket HTTP server on 127.0.0.1, port 0, that does exactly what each test scripts for
/// each connection: well-formed answers, broken ones, resets, stalls, drips and TLS failures.
/// Plain TCP or TLS (OpenSSL), with a generated certificate whose claims the test chooses.
class FaultServer {
 public:
  struct Tls {
    tools::CertificateSpec certificate;  ///< what the server's certificate claims
    bool tls11Only = false;              ///< offer TLS 1.1 and nothing newer
  };

  /// A plain HTTP server.
  FaultServer();
  /// A TLS server.
  explicit FaultServer(Tls tls);
  ~FaultServer();
  FaultServer(const FaultServer&) = delete;
  FaultServer& operator=(const FaultServer&) = delete;

  /// The script for every connection from now on.
  void setScript(FaultScript script);

  /// "https://127.0.0.1:PORT" or "http://…", no trailing slash.
  std::string baseUrl() const;
  int port() const { return port_; }
  /// PEM of the server's certificate, to trust it (empty for plain HTTP).
  const std::string& caFile() const { return caFile_; }

  /// Connections accepted so far.
  std::size_t connections() const { return accepted_.load(); }
  /// Requests that scripts read so far, as received.
  std::vector<std::string> requests() const;

 private:
  void start();
  void acceptLoop();
  void serve(int fd);
  void reapFinished();

  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  void* context_ = nullptr;  // SSL_CTX*
  std::string caFile_;
  int listenFd_ = -1;
  int wakePipe_[2] = {-1, -1};
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> accepted_{0};
  mutable std::mutex mutex_;
  FaultScript script_;
  std::vector<std::string> requests_;
  std::vector<Worker> workers_;  // touched by the accept thread and the destructor after it
  std::thread acceptThread_;

  friend class FaultConnection;
};

/// A complete answer: status line, "Content-Length", "Connection: close", `extraHeaders` (each
/// ending in CRLF) and the body.
std::string httpAnswer(int status, std::string_view body, std::string_view extraHeaders = {});
/// The same answer with its body in HTTP/1.1 chunks of at most `piece` bytes.
std::string chunkedAnswer(int status, std::string_view body, std::size_t piece = 4096);

/// Scripts that read the request and then do one thing.
FaultScript answerWith(std::string bytes);
FaultScript closeAfterRequest(std::string partialAnswer = {});
FaultScript resetAfterRequest(std::string partialAnswer = {});
FaultScript dripAnswer(std::string bytes, std::size_t piece, std::chrono::milliseconds interval);
FaultScript stallAfterRequest();
/// A 200 answer with `body` that keeps the connection open.
std::string keepAliveAnswer(std::string_view body);
/// Answers every request of each connection with `body`, keeping it open; `beforeAnswer` (when
/// set) runs before each answer, on the connection's thread.
FaultScript answerEach(std::string body, std::function<void()> beforeAnswer = {});
/// Checks `done` every few milliseconds until it holds (true) or `limit` has passed (false): a
/// wait for an event, never a measure of time.
bool eventually(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(30));
/// Waits, up to 30 s, until `server` has received `wanted` requests; then half a second more,
/// in which a request beyond a limit would arrive too.
void awaitRequests(const FaultServer& server, std::size_t wanted);
/// How many requests a server had under way at once, at most (see answerEachAfter()).
struct PeakCount {
  std::atomic<int> now{0};
  std::atomic<int> most{0};
};
/// As `answerEach`, each answer `delay` after its request, counting into `peak`.
FaultScript answerEachAfter(std::string body, std::chrono::milliseconds delay,
                            std::shared_ptr<PeakCount> peak);
/// Answers the first request of each connection with `body`, keeping the connection open, then
/// reads the next request whole and closes without a byte of answer.
FaultScript answerFirstThenCloseOnNext(std::string body);
/// As `answerFirstThenCloseOnNext`, then the server is gone: every later connection is reset
/// before its handshake, as when a service restarts between two requests.
FaultScript answerFirstThenGoDown(std::string body);

/// How many of `requests` (as a server received them) carry `marker`.
std::size_t countCarrying(const std::vector<std::string>& requests, const std::string& marker);

/// Options whose REST base and SOAP endpoint ("/fastsend.asmx") are on `baseUrl`, trusting
/// `caFile`, with the "http://velmora.test/" service namespace.
Options clientOptions(const std::string& baseUrl, const std::string& caFile,
                      std::chrono::milliseconds timeout);
/// The same, the client's lines going to `printed` instead of standard output.
Options clientOptions(const std::string& baseUrl, const std::string& caFile,
                      std::chrono::milliseconds timeout, const Diagnostics& printed);

/// A POST to `server` at `path` as the transport takes it: the server trusted, plain HTTP
/// allowed, the given idle time-out.
HttpRequest requestTo(const FaultServer& server, const std::string& path = "/x",
                      std::chrono::milliseconds timeout = std::chrono::seconds(5));

/// What one exchange through the libcurl session ended with.
struct Exchanged {
  int calls = 0;  ///< completions seen: 1, or 0 when none came within the limit
  HttpResponse response;
  std::chrono::steady_clock::duration took{};  ///< from submit to the completion
};

/// Submits `request` to the libcurl session and waits, up to 30 s, for its completion.
Exchanged exchange(HttpRequest request);

/// Counts this process's open file descriptors that are sockets.
std::size_t openSocketCount();

}  // namespace velmora::test
