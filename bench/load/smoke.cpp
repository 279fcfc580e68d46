#include "load/smoke.hpp"

#include <httplib.h>

#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "answers.hpp"
#include "load/report.hpp"
#include "load/rows.hpp"

namespace bench {
namespace {

// Serves one fixed answer to every POST, with workers enough for every connection the rows
// keep open, so that an idle kept-alive connection never holds up another one.
class FixedServer {
 public:
  FixedServer(std::unique_ptr<httplib::Server> server, const char* answer, const char* type)
      : server_(std::move(server)) {
    server_->new_task_queue = [] { return new httplib::ThreadPool(64); };
    server_->set_keep_alive_timeout(5);
    server_->Post(".*", [answer, type](const httplib::Request&, httplib::Response& res) {
      res.set_content(answer, type);
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("smoke: cannot bind a loopback port");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    for (int waited = 0; !server_->is_running(); ++waited) {
      if (waited == 5000) throw std::runtime_error("smoke: the loopback server did not start");
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ~FixedServer() {
    server_->stop();
    thread_.join();
  }
  FixedServer(const FixedServer&) = delete;
  FixedServer& operator=(const FixedServer&) = delete;

  int port() const { return port_; }

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
};

// What a finished row must look like whatever the machine's speed.
std::string problems(const RowResult& row) {
  std::string found;
  if (row.ok != row.requests) {
    found += " not every request answered:";
    for (const auto& [reason, count] : row.failures) {
      found += " " + std::to_string(count) + " × \"" + reason + "\";";
    }
  }
  if (!(row.seconds > 0) || !(row.cpuUsPerRequest > 0)) found += " no time measured;";
  if (row.peakRssKiB <= 0 || row.threads <= 0) found += " no process figures;";
  if (!(row.p50Ms > 0) || row.p99Ms < row.p50Ms) found += " latency percentiles out of order;";
  return found;
}

}  // namespace

int runSmoke(const std::string& certFile, const std::string& keyFile) {
  FixedServer rest(std::make_unique<httplib::SSLServer>(certFile.c_str(), keyFile.c_str()),
                   kJsonAnswer, "application/json");
  FixedServer soap(std::make_unique<httplib::Server>(), kSoapAnswer,
                   "application/soap+xml; charset=utf-8");
  const std::string origin = "https://127.0.0.1:" + std::to_string(rest.port());
  const std::string sendUrl = origin + "/api/smsAPI/SendMessage";
  const std::string soapUrl = "http://127.0.0.1:" + std::to_string(soap.port()) + "/fastsend.asmx";

  struct Planned {
    const char* name;
    const char* kind;
    const std::string& url;
    std::size_t count, window, threads;
  };
  const std::vector<Planned> schedule = {
      {"velmora h1 all", "velmora-send", origin, 300, 0, 0},
      {"velmora h1 w16", "velmora-send", origin, 300, 16, 0},
      {"velmora-check http all", "velmora-check", soapUrl, 100, 0, 0},
      {"raw-poll h1 w16", "raw-poll", sendUrl, 200, 16, 0},
      {"raw-poll h1 all", "raw-poll", sendUrl, 200, 0, 0},
      {"raw-epoll h1 w16", "raw-epoll", sendUrl, 200, 16, 0},
      {"pool16 h1 all", "pool", sendUrl, 40, 0, 4},
  };
  std::vector<RowResult> rows;
  int failures = 0;
  for (const Planned& p : schedule) {
    RowPlan plan;
    plan.name = p.name;
    plan.kind = p.kind;
    plan.url = p.url;
    plan.caFile = certFile;
    plan.count = p.count;
    plan.window = p.window;
    plan.threads = p.threads;
    plan.limit = std::chrono::seconds(60);
    plan.quiet = true;  // the SOAP rows print every answer body
    // As many connections as the raw rows keep, so that every kept connection has a worker: in
    // a sanitizer's build the answers come slowly enough for an origin to widen to 256, and its
    // idle connections then held every worker while the next row's waited behind them.
    plan.connectionsPerOrigin = 16;
    RowResult row = runRow(plan);
    row.name = plan.name;
    const std::string found = problems(row);
    if (!found.empty()) {
      std::cerr << row.name << ":" << found << '\n';
      ++failures;
    }
    rows.push_back(row);
  }
  std::ostringstream table;
  writeReport(table, rows);
  std::cout << table.str();
  for (const RowResult& row : rows) {
    if (table.str().find("| " + row.name + " |") == std::string::npos) {
      std::cerr << "the report lacks the row " << row.name << '\n';
      ++failures;
    }
  }
  std::cout << (failures == 0 ? "smoke run: every row complete\n" : "smoke run failed\n");
  return failures == 0 ? 0 : 1;
}

}  // namespace bench
