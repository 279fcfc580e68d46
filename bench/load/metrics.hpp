#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

/// Nanoseconds on the monotonic clock.
std::int64_t nowNs();

/// One load row as it is asked for on the command line.
struct RowPlan {
  std::string name;    ///< label in the table, e.g. "velmora h2 all"
  std::string kind;    ///< velmora-send, velmora-check, raw-poll, raw-epoll, pool
  std::string url;     ///< the full URL every request goes to
  std::string caFile;  ///< PEM that signs the server's certificate (HTTPS)
  std::size_t count = 20000;
  std::size_t window = 0;           ///< requests in flight; 0 submits them all at once
  std::size_t threads = 16;         ///< workers of the blocking pool
  std::chrono::seconds limit{120};  ///< a row that has not finished by then is reported as such
  bool quiet = false;               ///< the library's lines go nowhere instead of standard output
  long hostConnections = 16;        ///< raw multi loops: connections per host (0: no limit)
  int connectionsPerOrigin = 0;     ///< velmora rows: maxConnectionsPerOrigin; 0: the default
  int streamsPerOrigin = 0;         ///< velmora rows: maxStreamsPerOrigin; 0: the default
  bool inlineExecutor = false;      ///< velmora rows: completions on the I/O thread
  /// Raw rows: libcurl formats its informational lines, as the library has it do for HTTP/2
  /// (its GOAWAY proof), and a callback drops them.
  bool libcurlLines = false;
};

/// One line of the results table.
struct RowResult {
  std::string name;
  std::size_t requests = 0;
  std::size_t ok = 0;  ///< requests that ended in the expected answer
  double seconds = 0;
  double cpuUsPerRequest = 0;
  long peakRssKiB = 0;
  int threads = 0;
  int peakSockets = 0;
  double p50Ms = 0;
  double p99Ms = 0;
  std::map<std::string, std::size_t> failures;  ///< why requests failed; not kept in the file

  double requestsPerSecond() const { return seconds > 0 ? ok / seconds : 0; }
};

/// Appends `row` to the tab-separated file at `path`.
void appendRow(const std::string& path, const RowResult& row);
/// Reads every row of such a file.
std::vector<RowResult> readRows(const std::string& path);

/// Watches a process while a row runs: threads and open network sockets are sampled every few
/// milliseconds by a thread of its own. Watching this process, the sampler's thread is not
/// counted and its CPU time is left out of the row's figures.
class ResourceSampler {
 public:
  /// Watches this process, or the child `pid`.
  explicit ResourceSampler(int pid = 0);
  ~ResourceSampler();
  ResourceSampler(const ResourceSampler&) = delete;
  ResourceSampler& operator=(const ResourceSampler&) = delete;

  /// Stops sampling (idempotent).
  void stop();
  /// Most threads seen at once, the sampler's own thread not counted.
  int peakThreads() const { return peakThreads_; }
  /// Most network (not local) sockets open at once.
  int peakSockets() const { return peakSockets_; }
  /// CPU time the sampler itself used, in microseconds.
  double ownCpuUs() const { return ownCpuUs_; }

 private:
  void run();

  int pid_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stopping_ = false;
  int peakThreads_ = 0;
  int peakSockets_ = 0;
  double ownCpuUs_ = 0;
  std::thread thread_;  // last: it starts sampling as soon as it is made
};

/// Per-request submit and completion times and the outcome counts of one row. Every index is
/// written by one thread at a time; `finished()` publishes them to the waiting thread.
class Tracker {
 public:
  explicit Tracker(std::size_t count) : submitNs_(count), doneNs_(count) {}

  std::size_t count() const { return submitNs_.size(); }
  void submitted(std::size_t i) { submitNs_[i] = nowNs(); }
  /// Records that request `i` ended at `endNs` (default: now), failed for `reason` unless that
  /// is empty. True when it was the last one.
  bool finished(std::size_t i, const std::string& reason, std::int64_t endNs = nowNs());
  /// How many requests failed for each reason.
  std::map<std::string, std::size_t> failures() const;
  /// Waits until every request finished or `limit` passed; false on time-out.
  bool wait(std::chrono::seconds limit);
  std::size_t ok() const { return ok_.load(); }
  std::size_t completed() const { return completed_.load(); }

  /// Latency percentile `q` (0..1) from submit to completion over the finished requests, in ms.
  double percentileMs(double q) const;

 private:
  std::vector<std::int64_t> submitNs_;
  std::vector<std::int64_t> doneNs_;
  std::atomic<std::size_t> ok_{0};
  std::atomic<std::size_t> completed_{0};
  mutable std::mutex mutex_;
  std::map<std::string, std::size_t> failures_;
  std::condition_variable cv_;
};

/// Measures the process around one row: CPU time, wall time, peak RSS and the sampler.
class RowMeasurement {
 public:
  RowMeasurement();
  /// Ends the measurement and fills every figure of the row but the name.
  RowResult finish(const Tracker& tracker);

 private:
  ResourceSampler sampler_;
  std::int64_t startNs_;
  double startCpuUs_;
};

/// User plus system CPU time of this process so far, in microseconds.
double processCpuUs();

}  // namespace bench
