#include "connections.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <thread>

namespace velmora::sandbox {
namespace {

using Clock = std::chrono::steady_clock;

// The address and port of the socket's near (`peer` false) or far end.
void socketAddress(int fd, bool peer, std::string& ip, int& port) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  auto* raw = reinterpret_cast<sockaddr*>(&address);
  ip = "?";
  port = 0;
  if ((peer ? ::getpeername(fd, raw, &length) : ::getsockname(fd, raw, &length)) != 0) return;
  char text[INET6_ADDRSTRLEN] = "";
  if (address.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    port = ntohs(v4->sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
    ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    port = ntohs(v6->sin6_port);
  }
  ip = text;
}

// One accepted connection as httplib reads and writes it. The socket is non-blocking, so every
// wait is a poll with a deadline: reading, the request's deadline, however the bytes trickle in;
// writing, the write time from each call.
class Connection final : public httplib::Stream {
 public:
  Connection(int fd, SSL_CTX* tls, const ConnectionLimits& limits)
      : fd_(fd),
        ssl_(tls != nullptr ? SSL_new(tls) : nullptr),
        requestDeadline_(Clock::now() + limits.requestTime),
        writeTime_(limits.writeTime) {
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    if (ssl_ != nullptr) SSL_set_fd(ssl_, fd_);
  }
  ~Connection() override {
    if (ssl_ != nullptr) {
      if (handshaken_) SSL_shutdown(ssl_);  // one try: the socket is non-blocking
      SSL_free(ssl_);
    }
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Waits, within the request's time, until the peer has sent something or hung up; false when
  // the time is over. Nothing is read.
  bool firstBytes() const { return waitFor(POLLIN, requestDeadline_); }
  // Completes the TLS handshake, within the request's time; true at once for plain HTTP.
  bool handshake() {
    if (ssl_ == nullptr) return true;
    handshaken_ = transfer([this] { return SSL_accept(ssl_); }, POLLIN, requestDeadline_) > 0;
    return handshaken_;
  }
  // True when a read waited until the request's deadline.
  bool late() const { return late_; }

  bool is_readable() const override {
    return (ssl_ != nullptr && SSL_pending(ssl_) > 0) || waitFor(POLLIN, requestDeadline_);
  }
  bool is_writable() const override { return waitFor(POLLOUT, Clock::now() + writeTime_); }

  ssize_t read(char* ptr, size_t size) override {
    const int most = static_cast<int>(std::min<size_t>(size, INT_MAX));
    return transfer(
        [&]() -> ssize_t {
          return ssl_ != nullptr ? SSL_read(ssl_, ptr, most) : ::recv(fd_, ptr, size, 0);
        },
        POLLIN, requestDeadline_);
  }
  ssize_t write(const char* ptr, size_t size) override {
    const int most = static_cast<int>(std::min<size_t>(size, INT_MAX));
    return transfer(
        [&]() -> ssize_t {
          return ssl_ != nullptr ? SSL_write(ssl_, ptr, most)
                                 : ::send(fd_, ptr, size, MSG_NOSIGNAL);
        },
        POLLOUT, Clock::now() + writeTime_);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    socketAddress(fd_, true, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    socketAddress(fd_, false, ip, port);
  }
  socket_t socket() const override { return fd_; }

 private:
  // Runs `step` (a read, a write or the handshake) until it moves bytes, ends or fails, waiting
  // for the socket as it asks until `deadline`. Returns what the step returned, 0 at the
  // connection's end and -1 on failure.
  template <class Step>
  ssize_t transfer(Step step, short direction, Clock::time_point deadline) {
    while (true) {
      ERR_clear_error();
      const ssize_t done = step();
      if (done > 0) return done;
      short wanted = direction;
      if (ssl_ != nullptr) {
        const int error = SSL_get_error(ssl_, static_cast<int>(done));
        if (error == SSL_ERROR_ZERO_RETURN) return 0;
        wanted = error == SSL_ERROR_WANT_READ    ? POLLIN
                 : error == SSL_ERROR_WANT_WRITE ? POLLOUT
                                                 : 0;
        if (wanted == 0) return -1;
      } else if (done == 0) {
        return 0;
      } else if (errno == EINTR) {
        continue;
      } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
        return -1;
      }
      if (!waitFor(wanted, deadline)) return -1;
    }
  }

  // Waits until the socket is ready for `events` (or hung up); false at `deadline`.
  bool waitFor(short events, Clock::time_point deadline) const {
    while (true) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        if (deadline == requestDeadline_) late_ = true;
        return false;
      }
      pollfd watched{fd_, events, 0};
      const int ready = ::poll(&watched, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
      if (ready > 0) return true;
      if (ready < 0 && errno != EINTR) return false;
    }
  }

  int fd_;
  SSL* ssl_;
  Clock::time_point requestDeadline_;
  std::chrono::milliseconds writeTime_;
  bool handshaken_ = false;
  mutable bool late_ = false;
};

// A thread per connection, at most `most` at once (the acceptor waits for one to end).
class ConnectionThreads final : public httplib::TaskQueue {
 public:
  ConnectionThreads(std::size_t most, std::function<void()> cut)
      : most_(most), cut_(std::move(cut)) {}

  void enqueue(std::function<void()> fn) override {
    {
      std::unique_lock<std::mutex> lock(state_->mutex);
      state_->changed.wait(lock, [&] { return state_->running < most_; });
      ++state_->running;
    }
    std::thread([state = state_, fn = std::move(fn)]() mutable {
      fn();
      fn = nullptr;
      const std::lock_guard<std::mutex> lock(state->mutex);
      --state->running;
      state->changed.notify_all();
    }).detach();
  }

  void shutdown() override {
    cut_();
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->changed.wait(lock, [&] { return state_->running == 0; });
  }

 private:
  // Shared with the threads, which may still unlock it after shutdown() returned.
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t running = 0;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
  std::size_t most_;
  std::function<void()> cut_;
};

// True when bytes have arrived on `sock` that no one has read yet.
bool bytesWaiting(int sock) {
  char byte = 0;
  return ::recv(sock, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

}  // namespace

void Gate::serve(int sock, SSL_CTX* tls, const char* protocol,
                 const std::function<void(httplib::Stream&)>& process) {
  std::string address;
  int port = 0;
  socketAddress(sock, true, address, port);
  if (const std::string refusal = admit(sock, address); !refusal.empty()) {
    note_(std::string(protocol) + " refused a connection from " + address + ": " + refusal);
    ::close(sock);
    return;
  }
  bool late = false;
  {
    Connection connection(sock, tls, limits_);
    // Marked heard before a byte is read: until then, makeRoom() finds the bytes in the socket.
    if (connection.firstBytes()) {
      heard(sock);
      if (connection.handshake()) process(connection);
    }
    late = connection.late();
  }
  if (!release(sock)) {
    note_(std::string(protocol) + " closed an idle connection from " + address +
          " to make room for a new one");
  } else if (late) {
    note_(std::string(protocol) + " dropped a connection from " + address +
          ": its request did not arrive whole within " +
          std::to_string(limits_.requestTime.count()) + " ms");
  }
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
}

httplib::TaskQueue* Gate::newTaskQueue() {
  // One thread more than the connections there may be: a new connection needs its thread to
  // close an idle one in its place.
  return new ConnectionThreads(limits_.total + 1, [self = shared_from_this()] { self->cutAll(); });
}

std::string Gate::admit(int sock, const std::string& address) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (closing_) return "the sandbox is stopping";
  if (open_.size() >= limits_.total && !makeRoom(nullptr)) {
    return std::to_string(open_.size()) +
           " connections are open, the most there may be, and none of them is idle";
  }
  const auto held = perAddress_.find(address);
  if (held != perAddress_.end() && held->second >= limits_.perAddress && !makeRoom(&address)) {
    return std::to_string(held->second) +
           " connections from it are open, the most one address may hold, and none is idle";
  }
  ++perAddress_[address];
  open_.emplace(sock, Open{address, admitted_++});
  return {};
}

// Under the lock: cuts the connection (of `address`, or of any when null) that has waited
// longest without a byte arriving, and counts it out; false when there is none.
bool Gate::makeRoom(const std::string* address) {
  auto oldest = open_.end();
  for (auto it = open_.begin(); it != open_.end(); ++it) {
    const Open& o = it->second;
    if (o.heard || (address != nullptr && o.address != *address) || bytesWaiting(it->first)) {
      continue;
    }
    if (oldest == open_.end() || o.order < oldest->second.order) oldest = it;
  }
  if (oldest == open_.end()) return false;
  ::shutdown(oldest->first, SHUT_RDWR);
  forget(oldest);
  return true;
}

void Gate::heard(int sock) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (const auto it = open_.find(sock); it != open_.end()) it->second.heard = true;
}

// Before the socket is closed, so that cutAll() never touches a number reused by another file.
bool Gate::release(int sock) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto it = open_.find(sock);
  if (it == open_.end()) return false;
  forget(it);
  return true;
}

void Gate::forget(std::map<int, Open>::iterator connection) {
  if (--perAddress_[connection->second.address] == 0) {
    perAddress_.erase(connection->second.address);
  }
  open_.erase(connection);
}

void Gate::cutAll() {
  const std::lock_guard<std::mutex> lock(mutex_);
  closing_ = true;
  for (const auto& entry : open_) ::shutdown(entry.first, SHUT_RDWR);
}

}  // namespace velmora::sandbox
