// What one client may hold of the sandbox: how long a request may take to arrive, and how many
// connections a client address may keep open at once. Connections that have sent nothing yet
// give way to new ones, so that idle connections cannot keep out a client that sends at once.

#pragma once

#include <httplib.h>
#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

namespace velmora::sandbox {

struct ConnectionLimits {
  /// From a connection's start to the last byte of its request (TLS handshake, head and body);
  /// a connection whose request is not whole by then is dropped.
  std::chrono::milliseconds requestTime{std::chrono::seconds(10)};
  /// How long writing the answer may make no progress.
  std::chrono::milliseconds writeTime{std::chrono::seconds(10)};
  /// Connections one client address may hold open at once. Past it, the address's connection
  /// that has waited longest without sending a byte is closed to make room; when every one has
  /// sent something, the new one is closed at once.
  std::size_t perAddress = 64;
  /// Connections of all clients at once; past it, the same with the connections of any address.
  std::size_t total = 512;
};

/// Admits the connections of the servers that share it, gives each its own thread and bounds
/// its time, so that a slow client holds only its own connections. Thread-safe.
class Gate : public std::enable_shared_from_this<Gate> {
 public:
  /// `note` receives one line per refused or dropped connection.
  Gate(ConnectionLimits limits, std::function<void(const std::string&)> note)
      : limits_(limits), note_(std::move(note)) {}

  /// Serves the accepted socket `sock` (TLS with `tls`, plain when null) through `process`,
  /// which handles one request read from the stream, then closes it. On the connection's thread.
  void serve(int sock, SSL_CTX* tls, const char* protocol,
             const std::function<void(httplib::Stream&)>& process);

  /// A task queue for httplib: a thread per connection, at most `total`; its shutdown cuts
  /// every open connection and waits for their threads.
  httplib::TaskQueue* newTaskQueue();

 private:
  struct Open {
    std::string address;
    std::uint64_t order;  // of admission: the smallest has waited longest
    bool heard = false;   // a byte has arrived
  };

  std::string admit(int sock, const std::string& address);
  bool makeRoom(const std::string* address);
  void heard(int sock);
  /// False when the connection was closed to make room, and so already counted out.
  bool release(int sock);
  void forget(std::map<int, Open>::iterator connection);
  void cutAll();

  const ConnectionLimits limits_;
  const std::function<void(const std::string&)> note_;
  std::mutex mutex_;
  std::map<std::string, std::size_t> perAddress_;
  std::map<int, Open> open_;
  std::uint64_t admitted_ = 0;
  bool closing_ = false;
};

/// An httplib server (Server or SSLServer) whose connections go through a Gate.
template <class Base>
class GuardedServer final : public Base {
 public:
  template <class... Args>
  GuardedServer(std::shared_ptr<Gate> gate, const char* protocol, Args&&... args)
      : Base(std::forward<Args>(args)...), gate_(std::move(gate)), protocol_(protocol) {
    this->new_task_queue = [gate = gate_] { return gate->newTaskQueue(); };
  }

  /// After binding: lets the kernel queue many connections for accepting. httplib asks for 5,
  /// and a burst of more is held back for a second by SYN retries.
  void widenBacklog() { ::listen(this->svr_sock_, SOMAXCONN); }

 private:
  bool process_and_close_socket(socket_t sock) override {
    SSL_CTX* tls = nullptr;
    if constexpr (std::is_base_of_v<httplib::SSLServer, Base>) tls = this->ssl_context();
    gate_->serve(sock, tls, protocol_, [this](httplib::Stream& stream) {
      bool closed = false;
      this->process_request(stream, true, closed, nullptr);
    });
    return true;
  }

  std::shared_ptr<Gate> gate_;
  const char* protocol_;
};

}  // namespace velmora::sandbox
