#include "load/slow_server.hpp"

#include <httplib.h>
#include <signal.h>
#include <sys/socket.h>

#include <iostream>
#include <memory>
#include <stdexcept>
#include <thread>

#include "answers.hpp"

namespace bench {
namespace {

// Workers: one per connection kept open; the rows open at most a few hundred at once (the raw
// loop's 256, nginx's to the upstream), and the rest is headroom.
constexpr int kWorkers = 1024;
constexpr int kBacklog = 1024;

// One listening server on 127.0.0.1 that answers after `delay`, kept-alive connections reused
// without a cap on requests, so that every handshake is the client's choice.
class SlowServer {
 public:
  SlowServer(std::unique_ptr<httplib::Server> server, std::chrono::milliseconds delay)
      : server_(std::move(server)) {
    server_->new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    server_->set_keep_alive_max_count(1000000);
    server_->set_keep_alive_timeout(30);
    // Debian's cpp-httplib is a compiled library that listens with a backlog of 5: hundreds of
    // connections arriving at once would overflow it, and each dropped one would wait a second
    // or more to try again. Listening again on the bound socket raises the backlog.
    server_->set_socket_options([this](int fd) {
      httplib::default_socket_options(fd);
      listener_ = fd;
    });
    server_->Post(".*", [delay](const httplib::Request&, httplib::Response& res) {
      std::this_thread::sleep_for(delay);
      res.set_content(kJsonAnswer, "application/json");
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0 || listen(listener_, kBacklog) != 0) {
      throw std::runtime_error("slow-server: cannot listen on a loopback port");
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
  }
  ~SlowServer() {
    server_->stop();
    thread_.join();
  }
  SlowServer(const SlowServer&) = delete;
  SlowServer& operator=(const SlowServer&) = delete;

  int port() const { return port_; }

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  int listener_ = -1;
};

}  // namespace

int runSlowServer(const std::string& certFile, const std::string& keyFile,
                  std::chrono::milliseconds delay) {
  // Blocked before any thread starts, so that every thread inherits it and sigwait() takes it.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  SlowServer tls(std::make_unique<httplib::SSLServer>(certFile.c_str(), keyFile.c_str()), delay);
  SlowServer plain(std::make_unique<httplib::Server>(), delay);
  std::cout << tls.port() << ' ' << plain.port() << std::endl;
  int received = 0;
  sigwait(&stop, &received);
  return 0;
}

}  // namespace bench
