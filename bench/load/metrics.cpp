#include "load/metrics.hpp"

#include <dirent.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string_view>

namespace bench {
namespace {

constexpr auto kSampleInterval = std::chrono::milliseconds(5);

double microseconds(const timeval& tv) {
  return tv.tv_sec * 1e6 + tv.tv_usec;
}

std::string procPath(int pid) {
  return pid == 0 ? "/proc/self" : "/proc/" + std::to_string(pid);
}

int countThreads(int pid) {
  std::ifstream status(procPath(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
  }
  return 0;
}

// Inodes of the local (AF_UNIX) sockets of the machine, such as the wake-up pairs of event loops.
std::set<std::string> localSocketInodes() {
  std::set<std::string> inodes;
  std::ifstream table("/proc/net/unix");
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string num, refCount, protocol, flags, type, state, inode;
    if (fields >> num >> refCount >> protocol >> flags >> type >> state >> inode) {
      inodes.insert(inode);
    }
  }
  return inodes;
}

// Network sockets among the open descriptors of `pid` (0: this process), read from the targets
// of the descriptor links, so that no descriptor of another thread is touched.
int countNetworkSockets(int pid) {
  const std::string folder = procPath(pid) + "/fd";
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return 0;
  std::vector<std::string> inodes;
  char target[64];
  while (dirent* entry = readdir(dir)) {
    const std::string link = folder + "/" + entry->d_name;
    const ssize_t size = readlink(link.c_str(), target, sizeof target - 1);
    const std::string_view text(target, size > 0 ? static_cast<std::size_t>(size) : 0);
    if (text.rfind("socket:[", 0) == 0 && text.back() == ']') {
      inodes.emplace_back(text.substr(8, text.size() - 9));
    }
  }
  closedir(dir);
  if (inodes.empty()) return 0;
  const std::set<std::string> local = localSocketInodes();
  int sockets = 0;
  for (const std::string& inode : inodes) sockets += local.count(inode) == 0 ? 1 : 0;
  return sockets;
}

}  // namespace

std::int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double processCpuUs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return microseconds(usage.ru_utime) + microseconds(usage.ru_stime);
}

void appendRow(const std::string& path, const RowResult& row) {
  std::ofstream out(path, std::ios::app);
  out << row.name << '\t' << row.requests << '\t' << row.ok << '\t' << row.seconds << '\t'
      << row.cpuUsPerRequest << '\t' << row.peakRssKiB << '\t' << row.threads << '\t'
      << row.peakSockets << '\t' << row.p50Ms << '\t' << row.p99Ms << '\n';
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<RowResult> readRows(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::vector<RowResult> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::istringstream fields(line);
    RowResult row;
    std::getline(fields, row.name, '\t');
    fields >> row.requests >> row.ok >> row.seconds >> row.cpuUsPerRequest >> row.peakRssKiB >>
        row.threads >> row.peakSockets >> row.p50Ms >> row.p99Ms;
    if (!fields) throw std::runtime_error("malformed row in " + path + ": " + line);
    rows.push_back(row);
  }
  return rows;
}

ResourceSampler::ResourceSampler(int pid) : pid_(pid), thread_([this] { run(); }) {}

ResourceSampler::~ResourceSampler() {
  stop();
}

void ResourceSampler::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ResourceSampler::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  do {
    lock.unlock();
    // Watching this process, the sampler's own thread is left out.
    peakThreads_ = std::max(peakThreads_, countThreads(pid_) - (pid_ == 0 ? 1 : 0));
    peakSockets_ = std::max(peakSockets_, countNetworkSockets(pid_));
    lock.lock();
  } while (!cv_.wait_for(lock, kSampleInterval, [this] { return stopping_; }));
  timespec own{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &own);
  ownCpuUs_ = own.tv_sec * 1e6 + own.tv_nsec / 1e3;
}

bool Tracker::finished(std::size_t i, const std::string& reason, std::int64_t endNs) {
  doneNs_[i] = endNs;
  if (reason.empty()) {
    ++ok_;
  } else {
    std::lock_guard<std::mutex> lock(mutex_);
    ++failures_[reason];
  }
  if (++completed_ != count()) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  cv_.notify_all();
  return true;
}

std::map<std::string, std::size_t> Tracker::failures() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failures_;
}

bool Tracker::wait(std::chrono::seconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, limit, [this] { return completed_.load() == count(); });
}

double Tracker::percentileMs(double q) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::int64_t> latencies;
  latencies.reserve(count());
  for (std::size_t i = 0; i < count(); ++i) {
    if (doneNs_[i] != 0) latencies.push_back(doneNs_[i] - submitNs_[i]);
  }
  if (latencies.empty()) return 0;
  const auto at = std::min(latencies.size() - 1, static_cast<std::size_t>(q * latencies.size()));
  std::nth_element(latencies.begin(), latencies.begin() + at, latencies.end());
  return latencies[at] / 1e6;
}

RowMeasurement::RowMeasurement() : startNs_(nowNs()), startCpuUs_(processCpuUs()) {}

RowResult RowMeasurement::finish(const Tracker& tracker) {
  const std::int64_t endNs = nowNs();
  const double cpuUs = processCpuUs() - startCpuUs_;
  sampler_.stop();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  RowResult row;
  row.requests = tracker.count();
  row.ok = tracker.ok();
  row.seconds = (endNs - startNs_) / 1e9;
  const double clientCpuUs = std::max(0.0, cpuUs - sampler_.ownCpuUs());
  // Per request that ended: a row cut short by its time limit is not made to look cheap.
  row.cpuUsPerRequest = clientCpuUs / std::max<std::size_t>(1, tracker.completed());
  row.peakRssKiB = usage.ru_maxrss;
  row.threads = sampler_.peakThreads();
  row.peakSockets = sampler_.peakSockets();
  row.p50Ms = tracker.percentileMs(0.50);
  row.p99Ms = tracker.percentileMs(0.99);
  row.failures = tracker.failures();
  return row;
}

}  // namespace bench
