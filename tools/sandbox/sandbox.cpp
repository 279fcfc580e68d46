#include "sandbox.hpp"

#include <httplib.h>

#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "printable.hpp"
#include "utf8_sequence.hpp"

namespace velmora::sandbox {
namespace {

constexpr std::string_view kRestPrefix = "/api/smsAPI/";
constexpr std::string_view kSoapPath = "/fastsend.asmx";

// What the handler found out about the request it answered, for the log line that follows it.
// httplib runs a request's handler and its logger on the same worker thread.
thread_local std::string requestNote;

std::string timestamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(millis));
  return text;
}

void plainError(httplib::Response& res, int status, const std::string& text) {
  res.status = status;
  res.set_content(text + "\n", "text/plain; charset=utf-8");
  requestNote = text;
}

// Registers `handler` for every method httplib dispatches, so that a wrong method reaches it
// and gets 405 instead of httplib's 404.
void routeAll(httplib::Server& server, const httplib::Server::Handler& handler) {
  server.Get(".*", handler);
  server.Post(".*", handler);
  server.Put(".*", handler);
  server.Patch(".*", handler);
  server.Delete(".*", handler);
  server.Options(".*", handler);
}

// httplib sets SO_REUSEPORT, which lets a second server bind a port that another process
// already listens on and then splits the connections between them. SO_REUSEADDR alone still
// allows a quick restart on a port left in TIME_WAIT, but not two listeners.
void exclusivePort(int socket) {
  const int yes = 1;
  setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

bool knownOperation(std::string_view name) {
  for (const std::string& op : jsonOperations()) {
    if (op == name) return true;
  }
  return false;
}

}  // namespace

Sandbox::Sandbox(SandboxOptions options)
    : service_(std::make_shared<Service>(std::move(options.service))),
      log_(std::move(options.log)) {
  if (!log_) {
    log_ = [](std::string_view line) {
      std::string whole(line);
      whole.push_back('\n');
      std::fwrite(whole.data(), 1, whole.size(), stderr);
    };
  }
  gate_ = std::make_shared<Gate>(options.connections, [log = log_](const std::string& text) {
    log(tools::printable(timestamp() + " " + text, sandbox::utf8SequenceLength));
  });
  auto rest = std::make_unique<GuardedServer<httplib::SSLServer>>(
      gate_, "REST", options.certFile.c_str(), options.keyFile.c_str());
  if (!rest->is_valid()) {
    throw std::runtime_error("cannot use the certificate " + options.certFile + " and key " +
                             options.keyFile);
  }
  rest_ = std::move(rest);
  soap_ = std::make_unique<GuardedServer<httplib::Server>>(gate_, "SOAP");

  std::shared_ptr<Service> service = service_;
  routeAll(*rest_, [service](const httplib::Request& req, httplib::Response& res) {
    const std::string_view path = req.path;
    const std::string_view op =
        path.substr(0, kRestPrefix.size()) == kRestPrefix ? path.substr(kRestPrefix.size()) : "";
    if (!knownOperation(op)) return plainError(res, 404, "no such operation");
    if (req.method != "POST") {
      res.set_header("Allow", "POST");
      return plainError(res, 405, "use POST");
    }
    JsonAnswer answer = service->handleJson(op, req.get_header_value("Authorization"), req.body);
    res.set_content(answer.body.dump(), "application/json; charset=utf-8");
    requestNote = std::move(answer.summary);
  });
  routeAll(*soap_, [service](const httplib::Request& req, httplib::Response& res) {
    if (req.path != kSoapPath) return plainError(res, 404, "the SOAP endpoint is /fastsend.asmx");
    if (req.method != "POST") {
      res.set_header("Allow", "POST");
      return plainError(res, 405, "use POST");
    }
    SoapAnswer answer = service->handleSoap(req.get_header_value("SOAPAction"), req.body);
    res.status = answer.status;
    res.set_content(answer.body, "application/soap+xml; charset=utf-8");
    requestNote = std::move(answer.summary);
  });

  for (httplib::Server* server :
       std::initializer_list<httplib::Server*>{rest_.get(), soap_.get()}) {
    server->set_socket_options(exclusivePort);
    server->set_payload_max_length(options.maxBodyBytes);
    // One request per connection: the answer says "Connection: close", so a client never
    // sends on a connection the server is about to drop for being idle, and stopping never
    // waits for idle connections.
    server->set_keep_alive_max_count(1);
    server->set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
          plainError(res, 500, "internal error");
        });
  }
  const auto logger = [log = log_](const char* protocol) {
    return [log, protocol](const httplib::Request& req, const httplib::Response& res) {
      std::string line = timestamp() + " " + protocol + " " + req.method + " " + req.path + " " +
                         std::to_string(res.status);
      if (res.status == 413) requestNote = "body too large";
      if (!requestNote.empty()) line += " " + requestNote;
      requestNote.clear();
      // A log line holds what clients sent (user names, paths): a line feed or an escape
      // sequence in them must not forge another line or rewrite the terminal.
      log(tools::printable(line, sandbox::utf8SequenceLength));
    };
  };
  rest_->set_logger(logger("REST"));
  soap_->set_logger(logger("SOAP"));

  bind(*rest_, options.restPort, "REST", restPort_);
  bind(*soap_, options.soapPort, "SOAP", soapPort_);
  restThread_ = std::thread([this] { rest_->listen_after_bind(); });
  soapThread_ = std::thread([this] { soap_->listen_after_bind(); });
  // stop() only takes effect on a running server, so the destructor must not come before both
  // run. A bound socket starts listening at once; the wait is bounded all the same.
  for (httplib::Server* server :
       std::initializer_list<httplib::Server*>{rest_.get(), soap_.get()}) {
    for (int i = 0; i < 5000 && !server->is_running(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

template <class Server>
void Sandbox::bind(Server& server, int port, const char* protocol, int& bound) {
  bound = port == 0 ? server.bind_to_any_port("127.0.0.1")
                    : (server.bind_to_port("127.0.0.1", port) ? port : -1);
  if (bound <= 0) {
    throw std::runtime_error(std::string("cannot listen for ") + protocol + " on 127.0.0.1:" +
                             std::to_string(port) + " (is another process listening there?)");
  }
  server.widenBacklog();
}

Sandbox::~Sandbox() {
  rest_->stop();
  soap_->stop();
  if (restThread_.joinable()) restThread_.join();
  if (soapThread_.joinable()) soapThread_.join();
}

std::string Sandbox::restUrl() const {
  return "https://127.0.0.1:" + std::to_string(restPort_);
}

std::string Sandbox::soapUrl() const {
  return "http://127.0.0.1:" + std::to_string(soapPort_) + std::string(kSoapPath);
}

}  // namespace velmora::sandbox
