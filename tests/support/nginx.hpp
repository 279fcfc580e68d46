#pragma once

#include <memory>
#include <string>

#include "support/child_process.hpp"

namespace velmora::test {

/// nginx on 127.0.0.1 speaking HTTP/2 (and HTTP/1.1) over TLS, passing every request to a plain
/// HTTP backend on `backendPort`. `serverDirectives` go into its server block (for example
/// "keepalive_requests 5;"). Stopped when destroyed. `available()` is false where nginx is not
/// installed.
class Nginx {
 public:
  Nginx(int backendPort, const std::string& serverDirectives);
  ~Nginx();
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;

  static bool available();
  /// True once it accepts connections.
  bool ready() const { return ready_; }
  /// "https://127.0.0.1:PORT"
  std::string baseUrl() const;
  const std::string& caFile() const { return caFile_; }

 private:
  std::string dir_;
  std::string certificateDir_;
  std::string caFile_;
  int port_ = 0;
  bool ready_ = false;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace velmora::test
