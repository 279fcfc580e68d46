// Rows measured from an external load generator (wrk, h2load): the machine's ceiling.

#include "load/tool_row.hpp"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <stdexcept>

namespace bench {
namespace {

double toMs(double value, const std::string& unit) {
  if (unit == "us") return value / 1000;
  if (unit == "s") return value * 1000;
  return value;  // ms
}

double seconds(const timeval& tv) {
  return tv.tv_sec + tv.tv_usec / 1e6;
}

std::string runCapturing(const std::vector<std::string>& command, rusage& usage,
                         std::unique_ptr<ResourceSampler>& sampler) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    std::vector<char*> argv;
    for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    std::perror(argv[0]);
    std::_Exit(127);
  }
  close(pipeFds[1]);
  sampler = std::make_unique<ResourceSampler>(pid);
  std::string output;
  char buffer[4096];
  for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
    output.append(buffer, static_cast<std::size_t>(n));
  }
  close(pipeFds[0]);
  int status = 0;
  wait4(pid, &status, 0, &usage);
  sampler->stop();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(command[0] + " failed:\n" + output);
  }
  return output;
}

double number(const std::smatch& m, std::size_t i) {
  return std::strtod(m[i].str().c_str(), nullptr);
}

void parseWrk(const std::string& output, RowResult& row) {
  std::smatch m;
  if (!std::regex_search(output, m, std::regex(R"((\d+) requests in ([\d.]+)(us|ms|s),)"))) {
    throw std::runtime_error("no request count in wrk's output:\n" + output);
  }
  row.requests = static_cast<std::size_t>(number(m, 1));
  row.seconds = toMs(number(m, 2), m[3]) / 1000;
  row.ok = row.requests;
  if (std::regex_search(output, m, std::regex(R"(Non-2xx or 3xx responses: (\d+))"))) {
    row.ok -= static_cast<std::size_t>(number(m, 1));
  }
  if (std::regex_search(output, m, std::regex(R"(50%\s+([\d.]+)(us|ms|s))"))) {
    row.p50Ms = toMs(number(m, 1), m[2]);
  }
  if (std::regex_search(output, m, std::regex(R"(99%\s+([\d.]+)(us|ms|s))"))) {
    row.p99Ms = toMs(number(m, 1), m[2]);
  }
}

void parseH2load(const std::string& output, RowResult& row) {
  std::smatch m;
  if (!std::regex_search(output, m, std::regex(R"(finished in ([\d.]+)(us|ms|s),)"))) {
    throw std::runtime_error("no duration in h2load's output:\n" + output);
  }
  row.seconds = toMs(number(m, 1), m[2]) / 1000;
  if (!std::regex_search(output, m, std::regex(R"(requests: (\d+) total.* (\d+) succeeded)"))) {
    throw std::runtime_error("no request count in h2load's output:\n" + output);
  }
  row.requests = static_cast<std::size_t>(number(m, 1));
  row.ok = static_cast<std::size_t>(number(m, 2));
}

}  // namespace

RowResult runToolRow(const std::string& name, const std::string& format,
                     const std::vector<std::string>& command) {
  RowResult row;
  row.name = name;
  row.p50Ms = -1;  // unknown unless the tool reports it
  row.p99Ms = -1;
  rusage usage{};
  std::unique_ptr<ResourceSampler> sampler;
  const std::string output = runCapturing(command, usage, sampler);
  row.peakRssKiB = usage.ru_maxrss;
  row.threads = sampler->peakThreads();
  row.peakSockets = sampler->peakSockets();
  if (format == "wrk") {
    parseWrk(output, row);
  } else if (format == "h2load") {
    parseH2load(output, row);
  } else {
    throw std::invalid_argument("unknown tool output format: " + format);
  }
  const double cpuUs = (seconds(usage.ru_utime) + seconds(usage.ru_stime)) * 1e6;
  row.cpuUsPerRequest = row.requests > 0 ? cpuUs / row.requests : 0;
  return row;
}

}  // namespace bench
