#include "support/nginx.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "self_signed_certificate.hpp"

namespace velmora::test {
namespace {

constexpr const char* kNginx = "/usr/sbin/nginx";

// Connects to 127.0.0.1:`port` (or, with port 0, binds a free port and returns it).
int loopbackSocket(int port, bool connectIt) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  socklen_t length = sizeof address;
  auto* raw = reinterpret_cast<sockaddr*>(&address);
  const bool ok = connectIt ? connect(fd, raw, length) == 0
                            : bind(fd, raw, length) == 0 && getsockname(fd, raw, &length) == 0;
  close(fd);
  if (!ok) return -1;
  return connectIt ? port : ntohs(address.sin_port);
}

}  // namespace

bool Nginx::available() {
  return access(kNginx, X_OK) == 0;
}

Nginx::Nginx(int backendPort, const std::string& serverDirectives) {
  char dir[] = "/tmp/velmora-nginx-XXXXXX";
  if (mkdtemp(dir) == nullptr) return;
  dir_ = dir;
  const tools::CertificateFiles files = tools::makeSelfSignedCertificate();
  certificateDir_ = std::filesystem::path(files.certFile).parent_path().string();
  caFile_ = files.certFile;
  // A free port, taken back at once: nginx cannot be told to choose one itself.
  port_ = loopbackSocket(0, false);
  std::ofstream(dir_ + "/nginx.conf")
      << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << dir_ << "/nginx.pid;\n"
      << "error_log " << dir_ << "/error.log warn;\nevents { worker_connections 4096; }\n"
      << "http {\n  access_log off;\n"
      << "  client_body_temp_path " << dir_ << "/body;\n  proxy_temp_path " << dir_
      << "/proxy;\n  fastcgi_temp_path " << dir_ << "/fcgi;\n  uwsgi_temp_path " << dir_
      << "/uwsgi;\n  scgi_temp_path " << dir_ << "/scgi;\n"
      << "  upstream backend { server 127.0.0.1:" << backendPort << "; keepalive 64; }\n"
      << "  server {\n    listen 127.0.0.1:" << port_ << " ssl http2;\n"
      << "    ssl_certificate " << files.certFile << ";\n    ssl_certificate_key " << files.keyFile
      << ";\n    " << serverDirectives << "\n"
      << "    location / { proxy_pass http://backend; proxy_http_version 1.1;\n"
      << "      proxy_set_header Connection \"\"; proxy_read_timeout 60s; }\n  }\n}\n";
  process_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{kNginx, "-p", dir_, "-c", dir_ + "/nginx.conf", "-e", "stderr"},
      std::vector<std::string>{});
  for (int i = 0; i < 500 && !ready_ && process_->running(); ++i) {
    ready_ = loopbackSocket(port_, true) == port_;
    if (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

Nginx::~Nginx() {
  if (process_) {
    process_->signal(SIGTERM);
    process_->finish();
  }
  if (!dir_.empty()) std::filesystem::remove_all(dir_);
  if (!certificateDir_.empty()) std::filesystem::remove_all(certificateDir_);
}

std::string Nginx::baseUrl() const {
  return "https://127.0.0.1:" + std::to_string(port_);
}

}  // namespace velmora::test
