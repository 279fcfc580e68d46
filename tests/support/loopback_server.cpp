#include "support/loopback_server.hpp"

#include <stdexcept>

#include "output.hpp"
#include "self_signed_certificate.hpp"

namespace velmora::test {

std::string ReceivedRequest::header(const std::string& name) const {
  auto it = headers.find(name);
  return it == headers.end() ? std::string() : it->second;
}

struct LoopbackServer::State {
  mutable std::mutex mutex;
  std::condition_variable arrived;
  std::vector<ReceivedRequest> requests;
  Handler handler = [](const httplib::Request&, httplib::Response& res) {
    res.set_content("{}", "application/json");
  };
};

LoopbackServer::LoopbackServer(Scheme scheme) : state_(std::make_shared<State>()), scheme_(scheme) {
  if (scheme == Scheme::Https) {
    tools::CertificateFiles files = tools::makeSelfSignedCertificate();
    caFile_ = files.certFile;
    keyFile_ = files.keyFile;
    server_ = std::make_unique<httplib::SSLServer>(caFile_.c_str(), keyFile_.c_str());
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  // One request per connection, announced with "Connection: close": idle keep-alive
  // connections would hold the server's workers (and the destructor) for seconds, and a client
  // could send on a connection the server is just dropping (a "Broken pipe" under load).
  server_->set_keep_alive_max_count(1);
  std::shared_ptr<State> state = state_;
  server_->Post(".*", [state](const httplib::Request& req, httplib::Response& res) {
    Handler handler;
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      ReceivedRequest copy{req.method, req.path, {}, req.body};
      for (const auto& [name, value] : req.headers) copy.headers.emplace(name, value);
      state->requests.push_back(std::move(copy));
      handler = state->handler;
    }
    state->arrived.notify_all();
    handler(req, res);
  });
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("loopback server: cannot bind");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

LoopbackServer::~LoopbackServer() {
  server_->stop();
  thread_.join();
}

std::string LoopbackServer::baseUrl() const {
  return std::string(scheme_ == Scheme::Https ? "https" : "http") +
         "://127.0.0.1:" + std::to_string(port_);
}

void LoopbackServer::setHandler(Handler handler) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->handler = std::move(handler);
}

void LoopbackServer::answer(int status, std::string body, std::string contentType) {
  setHandler([status, body, contentType](const httplib::Request&, httplib::Response& res) {
    res.status = status;
    res.set_content(body, contentType.c_str());
  });
}

std::vector<ReceivedRequest> LoopbackServer::requests() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->requests;
}

bool LoopbackServer::waitForRequests(std::size_t count, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->arrived.wait_for(lock, limit, [&] { return state_->requests.size() >= count; });
}

Options LoopbackServer::options(std::chrono::milliseconds timeout) const {
  Options o;
  o.restBaseUrl = baseUrl();
  o.soapUrl = baseUrl() + "/fastsend.asmx";
  o.soapNamespace = "http://velmora.test/";
  o.caFile = caFile_;
  o.timeout = timeout;
  return o;
}

struct LineCapture::State {
  mutable std::mutex mutex;
  std::vector<std::string> lines;
};

LineCapture::LineCapture() : state_(std::make_shared<State>()) {
  std::shared_ptr<State> state = state_;
  detail::setLineSink([state](std::string_view line) {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->lines.emplace_back(line);
  });
}

LineCapture::~LineCapture() {
  detail::setLineSink(nullptr);
}

std::vector<std::string> LineCapture::lines() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->lines;
}

std::size_t LineCapture::count(const std::string& line) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return static_cast<std::size_t>(std::count(state_->lines.begin(), state_->lines.end(), line));
}

void LineCapture::clear() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->lines.clear();
}

void Latch::done() {
  // Notify under the lock: the waiter may destroy the latch as soon as it sees the count.
  std::lock_guard<std::mutex> lock(mutex_);
  ++count_;
  cv_.notify_all();
}

bool Latch::wait(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, limit, [&] { return count_ >= expected_; });
}

std::size_t Latch::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

}  // namespace velmora::test
