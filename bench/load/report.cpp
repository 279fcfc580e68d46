#include "load/report.hpp"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>

namespace bench {
namespace {

constexpr double kMiB = 1024.0;
constexpr long kMaxRssKiB = 64 * 1024;
constexpr int kMaxThreads = 3;  // the caller's thread and the library's I/O and completion threads
// An origin's first connections; one that answers in microseconds never needs more.
constexpr int kConnectionCap = 16;
// The rows against a service that answers after 200 ms: "<client> h1@200ms <window>", a burst
// of 1,000 calls, and "/4k", a run of 4,000.
constexpr const char* kLatencyProtocols[] = {"h1@200ms", "h2@200ms", "h1@200ms/4k", "h2@200ms/4k"};

struct Name {
  std::string client, protocol, window;
};

Name split(const std::string& name) {
  std::istringstream in(name);
  Name n;
  in >> n.client >> n.protocol >> n.window;
  return n;
}

std::string fixed(double value, int decimals) {
  if (value < 0) return "—";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string ratio(double value, double base) {
  return base > 0 && value >= 0 ? fixed(value / base, 2) + "×" : std::string("—");
}

// The windowed raw multi-loop rows (curl_multi_perform and curl_multi_poll) of one protocol.
std::vector<const RowResult*> rawWindows(const std::vector<RowResult>& rows,
                                         const std::string& protocol) {
  std::vector<const RowResult*> found;
  for (const RowResult& row : rows) {
    const Name n = split(row.name);
    if (n.client == "raw-poll" && n.protocol == protocol && n.window != "all")
      found.push_back(&row);
  }
  return found;
}

const RowResult* find(const std::vector<RowResult>& rows, const std::string& client,
                      const std::string& protocol, const std::string& window) {
  for (const RowResult& row : rows) {
    const Name n = split(row.name);
    if (n.client == client && n.protocol == protocol && n.window == window) return &row;
  }
  return nullptr;
}

const RowResult* findClient(const std::vector<RowResult>& rows, const std::string& client) {
  for (const RowResult& row : rows) {
    if (split(row.name).client == client) return &row;
  }
  return nullptr;
}

struct Baseline {
  double bestRps = 0;
  double bestCpu = 0;
};

Baseline baseline(const std::vector<RowResult>& rows, const std::string& protocol) {
  Baseline b;
  for (const RowResult* row : rawWindows(rows, protocol)) {
    if (row->ok != row->requests) continue;  // an incomplete row is no yardstick
    b.bestRps = std::max(b.bestRps, row->requestsPerSecond());
    if (b.bestCpu == 0 || row->cpuUsPerRequest < b.bestCpu) b.bestCpu = row->cpuUsPerRequest;
  }
  return b;
}

class Checks {
 public:
  explicit Checks(std::ostream& out) : out_(out) {}
  void check(bool met, const std::string& what, const std::string& measured) {
    out_ << "| " << what << " | " << measured << " | " << (met ? "met" : "**missed**") << " |\n";
    if (!met) ++missed_;
  }
  int missed() const { return missed_; }

 private:
  std::ostream& out_;
  int missed_ = 0;
};

void writeTargets(const std::vector<RowResult>& rows, Checks& checks) {
  const RowResult* pool = findClient(rows, "pool16");
  for (const std::string protocol : {"h1", "h2"}) {
    const RowResult* all = find(rows, "velmora", protocol, "all");
    const Baseline base = baseline(rows, protocol);
    if (all == nullptr || base.bestRps == 0) continue;
    const std::string label = "velmora " + protocol + " all";
    const double rps = all->requestsPerSecond();
    checks.check(rps >= 0.9 * base.bestRps, label + ": ≥ 0.9 × raw loop's best window",
                 ratio(rps, base.bestRps));
    if (const RowResult* rawAll = find(rows, "raw-poll", protocol, "all")) {
      checks.check(rps >= 5 * rawAll->requestsPerSecond(),
                   label + ": ≥ 5 × raw loop with all added at once",
                   ratio(rps, rawAll->requestsPerSecond()));
    }
    checks.check(all->cpuUsPerRequest <= 1.2 * base.bestCpu,
                 label + ": CPU ≤ 1.2 × raw loop's best",
                 ratio(all->cpuUsPerRequest, base.bestCpu));
    if (pool != nullptr) {
      checks.check(rps >= 20 * pool->requestsPerSecond(), label + ": ≥ 20 × blocking pool",
                   ratio(rps, pool->requestsPerSecond()));
    }
    checks.check(all->peakRssKiB <= kMaxRssKiB, label + ": peak RSS ≤ 64 MiB",
                 fixed(all->peakRssKiB / kMiB, 1) + " MiB");
    checks.check(all->threads <= kMaxThreads, label + ": two library threads",
                 std::to_string(all->threads) + " threads in all");
    checks.check(all->peakSockets <= kConnectionCap,
                 label + ": sockets ≤ 16 (a fast origin never widens)",
                 std::to_string(all->peakSockets));
  }
  for (const std::string protocol : kLatencyProtocols) {
    const RowResult* all = find(rows, "velmora", protocol, "all");
    const Baseline base = baseline(rows, protocol);
    if (all == nullptr || base.bestRps == 0) continue;
    checks.check(all->requestsPerSecond() >= 0.9 * base.bestRps,
                 "velmora " + protocol + " all: ≥ 0.9 × raw loop with 256 in flight",
                 ratio(all->requestsPerSecond(), base.bestRps));
  }
  for (const RowResult& row : rows) {
    checks.check(row.ok == row.requests, row.name + ": every request answered",
                 std::to_string(row.ok) + " of " + std::to_string(row.requests));
  }
}

}  // namespace

int writeReport(std::ostream& out, const std::vector<RowResult>& rows) {
  out << "| Row | Requests | req/s | × raw best | CPU µs/req | × raw best CPU | Peak RSS MiB "
         "| Threads | Peak sockets | p50 ms | p99 ms |\n"
         "|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n";
  for (const RowResult& row : rows) {
    const Baseline base = baseline(rows, split(row.name).protocol);
    out << "| " << row.name << " | " << row.requests << " | " << fixed(row.requestsPerSecond(), 0)
        << " | " << ratio(row.requestsPerSecond(), base.bestRps) << " | "
        << fixed(row.cpuUsPerRequest, 1) << " | " << ratio(row.cpuUsPerRequest, base.bestCpu)
        << " | " << fixed(row.peakRssKiB / kMiB, 1) << " | " << row.threads << " | "
        << row.peakSockets << " | " << fixed(row.p50Ms, 2) << " | " << fixed(row.p99Ms, 2)
        << " |\n";
  }
  out << "\n| Target | Measured | |\n|---|--:|---|\n";
  Checks checks(out);
  writeTargets(rows, checks);
  return checks.missed();
}

namespace {

// The library's micro-benchmarks and the reference each is held against.
struct MicroPair {
  const char* library;
  const char* reference;
  const char* what;
  bool target;  ///< false: the reference is context only (it does a part of the work)
};

constexpr MicroPair kMicroPairs[] = {
    {"BM_SendMessageBody/10000", "BM_NlohmannDumpMobiles/10000",
     "SendMessage body, 10,000 mobiles (per mobile) vs dump of the built array", true},
    {"BM_SendMessageBody/10000", "BM_NlohmannBuildAndDumpMobiles/10000",
     "SendMessage body, 10,000 mobiles (per mobile) vs build and dump", true},
    {"BM_HandleJsonAnswer/1024", "BM_NlohmannParse/1024", "1 KiB JSON answer vs parse alone", true},
    {"BM_HandleJsonAnswer/1048576", "BM_NlohmannParse/1048576", "1 MiB JSON answer vs parse alone",
     true},
    {"BM_CollectSoapAnswer", "BM_ExpatCollect",
     "CheckSendCode answer (checks, printed body, parse, conversion) vs expat's parse alone",
     false},
};

// Nanoseconds per iteration, or per item where the benchmark counts items.
std::map<std::string, double> microTimes(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  const nlohmann::json results = nlohmann::json::parse(in);
  std::map<std::string, double> times;
  for (const auto& b : results.at("benchmarks")) {
    if (b.value("run_type", "iteration") != "iteration") continue;
    double ns = b.at("real_time").get<double>();
    const std::string unit = b.value("time_unit", "ns");
    if (unit == "us") ns *= 1e3;
    if (unit == "ms") ns *= 1e6;
    if (b.contains("items_per_second")) ns = 1e9 / b.at("items_per_second").get<double>();
    times[b.at("name").get<std::string>()] = ns;
  }
  return times;
}

}  // namespace

int writeMicroReport(std::ostream& out, const std::string& path) {
  const auto times = microTimes(path);
  out << "| Micro-benchmark | Library ns | Reference ns | Library ÷ reference | |\n"
         "|---|--:|--:|--:|---|\n";
  int slower = 0;
  for (const MicroPair& pair : kMicroPairs) {
    const auto library = times.find(pair.library);
    const auto reference = times.find(pair.reference);
    if (library == times.end() || reference == times.end()) {
      out << "| " << pair.what << " | — | — | — | **not run** |\n";
      ++slower;
      continue;
    }
    const bool met = library->second <= reference->second;
    if (pair.target && !met) ++slower;
    out << "| " << pair.what << " | " << fixed(library->second, 1) << " | "
        << fixed(reference->second, 1) << " | " << fixed(library->second / reference->second, 2)
        << " | "
        << (!pair.target ? "context"
            : met        ? "met"
                         : "**missed**")
        << " |\n";
  }
  return slower;
}

}  // namespace bench
