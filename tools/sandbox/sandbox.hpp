#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "connections.hpp"
#include "service.hpp"

namespace velmora::sandbox {

/// How the sandbox listens. Both servers bind to 127.0.0.1 only.
struct SandboxOptions {
  ServiceConfig service;
  int restPort = 0;      ///< 0: a free port
  int soapPort = 0;      ///< 0: a free port
  std::string certFile;  ///< PEM certificate of the HTTPS server (required)
  std::string keyFile;   ///< PEM private key of that certificate (required)
  /// Largest request body accepted; a larger one is answered with HTTP 413.
  std::size_t maxBodyBytes = 256 * 1024;
  /// How long a request may take to arrive and how many connections a client may hold.
  ConnectionLimits connections;
  /// Receives one line per request; empty: standard error.
  std::function<void(std::string_view)> log;
};

/// The stand-in service: the JSON protocol over HTTPS and the SOAP protocol over plain HTTP,
/// each on its own loopback port, served by background threads from construction until
/// destruction. Throws std::runtime_error when a server cannot start.
class Sandbox {
 public:
  explicit Sandbox(SandboxOptions options);
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  /// "https://127.0.0.1:PORT", the REST base URL (no trailing slash).
  std::string restUrl() const;
  /// "http://127.0.0.1:PORT/fastsend.asmx", the SOAP endpoint.
  std::string soapUrl() const;
  int restPort() const { return restPort_; }
  int soapPort() const { return soapPort_; }
  Service& service() { return *service_; }

 private:
  template <class Server>
  static void bind(Server& server, int port, const char* protocol, int& bound);

  std::shared_ptr<Service> service_;
  std::function<void(std::string_view)> log_;
  std::shared_ptr<Gate> gate_;
  std::unique_ptr<GuardedServer<httplib::SSLServer>> rest_;
  std::unique_ptr<GuardedServer<httplib::Server>> soap_;
  std::thread restThread_;
  std::thread soapThread_;
  int restPort_ = 0;
  int soapPort_ = 0;
};

}  // namespace velmora::sandbox
