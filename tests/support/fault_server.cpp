#include "support/fault_server.hpp"

#include "support/lines.hpp"
#include "transport/session.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace velmora::test {
namespace {

using Clock = std::chrono::steady_clock;

// Every wait is cut into slices of this length, so that a stopping server is noticed soon.
constexpr int kSliceMs = 20;
// No connection lives longer than this, whatever its script says.
constexpr auto kConnectionLimit = std::chrono::seconds(30);
// Largest request a script reads: the library's requests are a few kilobytes.
constexpr std::size_t kMaxRequestBytes = 4u * 1024u * 1024u;

SSL* sslOf(void* tls) {
  return static_cast<SSL*>(tls);
}

void setNonBlocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

std::size_t contentLength(std::string_view head) {
  std::string lower(head);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const auto at = lower.find("\r\ncontent-length:");
  if (at == std::string::npos) return 0;
  return std::strtoul(lower.c_str() + at + 17, nullptr, 10);
}

// The reason phrase: nothing reads it, so one word serves every status but 200.
const char* reason(int status) {
  return status == 200 ? "OK" : "Status";
}

}  // namespace

// --- FaultConnection -------------------------------------------------------------------------

FaultConnection::FaultConnection(int fd, void* tls, const std::atomic<bool>& stopping)
    : fd_(fd), tls_(tls), stopping_(stopping), deadline_(Clock::now() + kConnectionLimit) {}

FaultConnection::~FaultConnection() {
  close();
}

bool FaultConnection::waitFor(short events) {
  while (!stopping_ && Clock::now() < deadline_ && fd_ >= 0) {
    pollfd p{fd_, events, 0};
    const int ready = poll(&p, 1, kSliceMs);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
  return false;
}

bool FaultConnection::retryTls(int returned) {
  const int error = SSL_get_error(sslOf(tls_), returned);
  if (error == SSL_ERROR_WANT_READ) return waitFor(POLLIN);
  if (error == SSL_ERROR_WANT_WRITE) return waitFor(POLLOUT);
  ERR_clear_error();
  return false;
}

bool FaultConnection::handshake() {
  if (tls_ == nullptr || handshakeDone_) return true;
  for (;;) {
    const int r = SSL_accept(sslOf(tls_));
    if (r == 1) {
      handshakeDone_ = true;
      return true;
    }
    if (!retryTls(r)) return false;
  }
}

long FaultConnection::readSome(char* buffer, std::size_t size) {
  if (fd_ < 0 || !handshake()) return 0;
  for (;;) {
    if (tls_ != nullptr) {
      const int r = SSL_read(sslOf(tls_), buffer, static_cast<int>(size));
      if (r > 0) return r;
      if (retryTls(r)) continue;
      return 0;
    }
    const ssize_t r = recv(fd_, buffer, size, 0);
    if (r > 0) return r;
    if (r < 0 && (errno == EAGAIN || errno == EINTR) && waitFor(POLLIN)) continue;
    return 0;
  }
}

std::string FaultConnection::readRequest() {
  char buffer[16384];
  std::size_t headEnd;
  // The head first, then as much body as its Content-Length says.
  while ((headEnd = pending_.find("\r\n\r\n")) == std::string::npos ||
         pending_.size() < headEnd + 4 + contentLength(pending_.substr(0, headEnd + 2))) {
    const long got = pending_.size() > kMaxRequestBytes ? 0 : readSome(buffer, sizeof buffer);
    if (got <= 0) return {};
    pending_.append(buffer, static_cast<std::size_t>(got));
  }
  const std::size_t total = headEnd + 4 + contentLength(pending_.substr(0, headEnd + 2));
  std::string request = pending_.substr(0, total);
  pending_.erase(0, total);
  if (owner_ != nullptr) {
    std::lock_guard<std::mutex> lock(owner_->mutex_);
    owner_->requests_.push_back(request);
  }
  return request;
}

bool FaultConnection::send(std::string_view bytes) {
  if (fd_ < 0 || !handshake()) return false;
  while (!bytes.empty()) {
    if (tls_ != nullptr) {
      const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size(), 1u << 20));
      const int r = SSL_write(sslOf(tls_), bytes.data(), chunk);
      if (r > 0) {
        bytes.remove_prefix(static_cast<std::size_t>(r));
        continue;
      }
      if (retryTls(r)) continue;
      return false;
    }
    const ssize_t r = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (r > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(r));
      continue;
    }
    if (r < 0 && (errno == EAGAIN || errno == EINTR) && waitFor(POLLOUT)) continue;
    return false;
  }
  return true;
}

bool FaultConnection::drip(std::string_view bytes, std::size_t piece,
                           std::chrono::milliseconds interval) {
  while (!bytes.empty()) {
    const std::size_t n = std::min(piece, bytes.size());
    if (!send(bytes.substr(0, n))) return false;
    bytes.remove_prefix(n);
    const auto next = Clock::now() + interval;
    while (!stopping_ && Clock::now() < next) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (stopping_) return false;
  }
  return true;
}

std::size_t FaultConnection::readRawBytes() {
  char buffer[4096];
  while (fd_ >= 0 && waitFor(POLLIN)) {
    const ssize_t r = recv(fd_, buffer, sizeof buffer, 0);
    if (r > 0) return static_cast<std::size_t>(r);
    if (r == 0 || (errno != EAGAIN && errno != EINTR)) return 0;
  }
  return 0;
}

bool FaultConnection::awaitAcknowledged() {
  while (!stopping_ && Clock::now() < deadline_ && fd_ >= 0) {
    int unacknowledged = 0;
    if (ioctl(fd_, TIOCOUTQ, &unacknowledged) != 0) return false;
    if (unacknowledged == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

void FaultConnection::stall(std::chrono::milliseconds limit) {
  const auto end = std::min(deadline_, Clock::now() + limit);
  char buffer[4096];
  while (!stopping_ && Clock::now() < end && fd_ >= 0) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, kSliceMs) <= 0) continue;
    const ssize_t r = recv(fd_, buffer, sizeof buffer, 0);
    if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) return;  // the peer gave up
  }
}

void FaultConnection::reset() {
  if (fd_ < 0) return;
  if (tls_ != nullptr) SSL_free(sslOf(tls_));
  tls_ = nullptr;
  const linger abortive{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  ::close(fd_);
  fd_ = -1;
}

void FaultConnection::close() {
  if (fd_ < 0) return;
  if (tls_ != nullptr) {
    if (handshakeDone_) SSL_shutdown(sslOf(tls_));
    SSL_free(sslOf(tls_));
    tls_ = nullptr;
  }
  // A lingering close: stop sending, then read what the peer still sends until it closes, so
  // that unread bytes never turn the close into a reset that could overtake the answer.
  shutdown(fd_, SHUT_WR);
  stall(std::chrono::seconds(1));
  ::close(fd_);
  fd_ = -1;
}

// --- FaultServer -----------------------------------------------------------------------------

FaultServer::FaultServer() {
  start();
}

FaultServer::FaultServer(Tls tls) {
  const tools::CertificateFiles files = tools::makeSelfSignedCertificate(tls.certificate);
  caFile_ = files.certFile;
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (context == nullptr) throw std::runtime_error("fault server: no TLS context");
  context_ = context;
  if (SSL_CTX_use_certificate_file(context, files.certFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_use_PrivateKey_file(context, files.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    SSL_CTX_free(context);
    throw std::runtime_error("fault server: cannot load the certificate");
  }
  std::filesystem::remove(files.keyFile);
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (tls.tls11Only) {
    // TLS 1.1 is only available at security level 0 in current OpenSSL.
    SSL_CTX_set_security_level(context, 0);
    SSL_CTX_set_cipher_list(context, "DEFAULT:@SECLEVEL=0");
    SSL_CTX_set_min_proto_version(context, TLS1_1_VERSION);
    SSL_CTX_set_max_proto_version(context, TLS1_1_VERSION);
  }
  start();
}

void FaultServer::start() {
  // A client that gives up mid-answer must not kill the test process through SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  script_ = answerWith(httpAnswer(200, R"({"Code":0})"));
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listenFd_, 512) != 0 ||
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      pipe2(wakePipe_, O_CLOEXEC) != 0) {
    throw std::runtime_error("fault server: cannot listen");
  }
  port_ = ntohs(address.sin_port);
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

FaultServer::~FaultServer() {
  stopping_ = true;
  const char wake = 'x';
  [[maybe_unused]] const ssize_t ignored = write(wakePipe_[1], &wake, 1);
  acceptThread_.join();
  for (Worker& worker : workers_) worker.thread.join();
  ::close(listenFd_);
  ::close(wakePipe_[0]);
  ::close(wakePipe_[1]);
  if (context_ != nullptr) SSL_CTX_free(static_cast<SSL_CTX*>(context_));
}

void FaultServer::setScript(FaultScript script) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_ = std::move(script);
}

std::string FaultServer::baseUrl() const {
  return std::string(context_ != nullptr ? "https" : "http") +
         "://127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> FaultServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void FaultServer::acceptLoop() {
  while (!stopping_) {
    pollfd p[2] = {{listenFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    if (poll(p, 2, 100) <= 0 || stopping_) {
      reapFinished();
      continue;
    }
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++accepted_;
    auto done = std::make_shared<std::atomic<bool>>(false);
    workers_.push_back({std::thread([this, fd, done] {
                          serve(fd);
                          *done = true;
                        }),
                        done});
    reapFinished();
  }
}

void FaultServer::reapFinished() {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (*it->done) {
      it->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

void FaultServer::serve(int fd) {
  setNonBlocking(fd);
  SSL* ssl = nullptr;
  if (context_ != nullptr) {
    ssl = SSL_new(static_cast<SSL_CTX*>(context_));
    SSL_set_fd(ssl, fd);
  }
  FaultScript script;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    script = script_;
  }
  FaultConnection connection(fd, ssl, stopping_);
  connection.owner_ = this;
  try {
    script(connection);
  } catch (...) {
    // A script that throws ends its connection like one that returns.
  }
}

// --- Answers and scripts ---------------------------------------------------------------------

std::string httpAnswer(int status, std::string_view body, std::string_view extraHeaders) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\n";
  out += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n";
  out.append(extraHeaders).append("\r\n").append(body);
  return out;
}

std::string chunkedAnswer(int status, std::string_view body, std::size_t piece) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\n";
  out += "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
  char size[32];
  while (!body.empty()) {
    const std::size_t n = std::min(piece, body.size());
    std::snprintf(size, sizeof size, "%zx\r\n", n);
    out.append(size).append(body.substr(0, n)).append("\r\n");
    body.remove_prefix(n);
  }
  return out + "0\r\n\r\n";
}

FaultScript answerWith(std::string bytes) {
  return [bytes = std::move(bytes)](FaultConnection& c) {
    if (!c.readRequest().empty()) c.send(bytes);
  };
}

FaultScript closeAfterRequest(std::string partialAnswer) {
  return [partialAnswer = std::move(partialAnswer)](FaultConnection& c) {
    if (!c.readRequest().empty() && !partialAnswer.empty()) c.send(partialAnswer);
    c.close();
  };
}

std::string keepAliveAnswer(std::string_view body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         std::string(body);
}

FaultScript answerFirstThenCloseOnNext(std::string body) {
  return [answer = keepAliveAnswer(body)](FaultConnection& c) {
    if (c.readRequest().empty()) return;
    c.send(answer);
    c.readRequest();
    c.close();
  };
}

FaultScript answerFirstThenGoDown(std::string body) {
  auto down = std::make_shared<std::atomic<bool>>(false);
  return [dying = answerFirstThenCloseOnNext(std::move(body)), down](FaultConnection& c) {
    if (*down) return c.reset();
    dying(c);
    *down = true;
  };
}

FaultScript answerEach(std::string body, std::function<void()> beforeAnswer) {
  return [answer = keepAliveAnswer(body), beforeAnswer](FaultConnection& c) {
    while (!c.readRequest().empty()) {
      if (beforeAnswer) beforeAnswer();
      if (!c.send(answer)) return;
    }
  };
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto giveUp = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void awaitRequests(const FaultServer& server, std::size_t wanted) {
  eventually([&] { return server.requests().size() >= wanted; });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

FaultScript answerEachAfter(std::string body, std::chrono::milliseconds delay,
                            std::shared_ptr<PeakCount> peak) {
  return answerEach(std::move(body), [delay, peak] {
    const int now = ++peak->now;
    for (int most = peak->most; now > most && !peak->most.compare_exchange_weak(most, now);) {
    }
    std::this_thread::sleep_for(delay);
    --peak->now;
  });
}

FaultScript resetAfterRequest(std::string partialAnswer) {
  return [partialAnswer = std::move(partialAnswer)](FaultConnection& c) {
    if (!c.readRequest().empty() && !partialAnswer.empty()) c.send(partialAnswer);
    c.reset();
  };
}

FaultScript dripAnswer(std::string bytes, std::size_t piece, std::chrono::milliseconds interval) {
  return [bytes = std::move(bytes), piece, interval](FaultConnection& c) {
    if (!c.readRequest().empty()) c.drip(bytes, piece, interval);
  };
}

FaultScript stallAfterRequest() {
  return [](FaultConnection& c) {
    if (!c.readRequest().empty()) c.stall();
  };
}

Options clientOptions(const std::string& baseUrl, const std::string& caFile,
                      std::chrono::milliseconds timeout) {
  Options o;
  o.restBaseUrl = baseUrl;
  o.soapUrl = baseUrl + "/fastsend.asmx";
  o.soapNamespace = "http://velmora.test/";
  o.caFile = caFile;
  o.timeout = timeout;
  return o;
}

Options clientOptions(const std::string& baseUrl, const std::string& caFile,
                      std::chrono::milliseconds timeout, const Diagnostics& printed) {
  Options o = clientOptions(baseUrl, caFile, timeout);
  o.diagnostics = printed.sink();
  return o;
}

HttpRequest requestTo(const FaultServer& server, const std::string& path,
                      std::chrono::milliseconds timeout) {
  HttpRequest request;
  request.url = server.baseUrl() + path;
  request.caFile = server.caFile();
  request.allowPlainHttp = true;
  request.timeout = timeout;
  request.body = "ping";
  return request;
}

Exchanged exchange(HttpRequest request) {
  struct Shared {
    Latch latch{1};
    std::mutex mutex;
    Exchanged out;
  };
  auto shared = std::make_shared<Shared>();
  const auto start = Clock::now();
  detail::Session::shared().submit(std::move(request), [shared, start](HttpResponse& r) {
    std::lock_guard<std::mutex> lock(shared->mutex);
    ++shared->out.calls;
    shared->out.response = r;
    shared->out.took = Clock::now() - start;
    shared->latch.done();
  });
  shared->latch.wait(std::chrono::seconds(30));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a second call would show here
  std::lock_guard<std::mutex> lock(shared->mutex);
  return shared->out;
}

std::size_t openSocketCount() {
  std::size_t count = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    std::error_code linkError;
    const auto target = std::filesystem::read_symlink(entry.path(), linkError);
    if (!linkError && target.string().rfind("socket:", 0) == 0) ++count;
  }
  return count;
}

std::size_t countCarrying(const std::vector<std::string>& requests, const std::string& marker) {
  return static_cast<std::size_t>(std::count_if(
      requests.begin(), requests.end(),
      [&](const std::string& request) { return request.find(marker) != std::string::npos; }));
}

}  // namespace velmora::test
