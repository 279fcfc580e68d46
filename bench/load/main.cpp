// velmora_load: the load rows of the benchmark, one row per process so that peak RSS, threads
// and sockets belong to that row alone.
//
//   velmora_load row --kind KIND --name NAME --url URL [--ca PEM] [--count N] [--window W]
//                    [--threads T] [--limit SECONDS] [--host-connections C]
//                    [--connections C] [--streams S] [--executor inline]
//                    [--libcurl-lines on] --out FILE
//   velmora_load slow-server --cert PEM --key PEM --delay-ms D
//   velmora_load tool --name NAME --format wrk|h2load --out FILE -- COMMAND...
//   velmora_load report FILE
//   velmora_load micro-report GOOGLE_BENCHMARK_JSON
//   velmora_load answer json|soap|request
//   velmora_load smoke --cert PEM --key PEM
//
// KIND: velmora-send, velmora-check, raw-poll, raw-epoll, pool. A window of 0 submits every
// request at once. The library's printed lines go to standard output: redirect it.
// --host-connections: the raw loops' connections per host (default 16, as many as an origin of
// the library starts with over HTTP/1.1; 0: no limit). --connections, --streams: the library's
// maxConnectionsPerOrigin and maxStreamsPerOrigin instead of their defaults. --executor inline:
// the library's completions run on its I/O thread (inlineExecutor()). --libcurl-lines on: the
// raw rows have libcurl format its informational lines, as the library does over HTTP/2.
// slow-server: answers every POST after D ms, over TLS and plain HTTP; prints
// "TLS_PORT PLAIN_PORT" on a line and serves until SIGTERM or SIGINT.

#include <curl/curl.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "answers.hpp"
#include "load/report.hpp"
#include "load/rows.hpp"
#include "load/slow_server.hpp"
#include "load/smoke.hpp"
#include "load/tool_row.hpp"

namespace bench {
namespace {

// "--key value" pairs up to an optional "--", after which the rest is returned as a command.
std::map<std::string, std::string> parseOptions(int argc, char** argv, int first,
                                                std::vector<std::string>* command = nullptr) {
  std::map<std::string, std::string> options;
  for (int i = first; i < argc; ++i) {
    const std::string key = argv[i];
    if (key == "--" && command != nullptr) {
      command->assign(argv + i + 1, argv + argc);
      break;
    }
    if (key.rfind("--", 0) != 0 || i + 1 >= argc) throw std::invalid_argument("bad option " + key);
    options[key.substr(2)] = argv[++i];
  }
  return options;
}

std::string required(const std::map<std::string, std::string>& options, const std::string& key) {
  auto it = options.find(key);
  if (it == options.end()) throw std::invalid_argument("missing --" + key);
  return it->second;
}

std::size_t numberOr(const std::map<std::string, std::string>& options, const std::string& key,
                     std::size_t fallback) {
  auto it = options.find(key);
  return it == options.end() ? fallback : std::stoul(it->second);
}

// One line per row on standard error, and why requests failed, if any did.
void summarize(const RowResult& row) {
  std::cerr << row.name << ": " << row.ok << "/" << row.requests << " in " << row.seconds << " s\n";
  for (const auto& [reason, count] : row.failures)
    std::cerr << "  " << count << "× " << reason << '\n';
}

int rowCommand(int argc, char** argv) {
  const auto options = parseOptions(argc, argv, 2);
  RowPlan plan;
  plan.kind = required(options, "kind");
  plan.name = required(options, "name");
  plan.url = required(options, "url");
  plan.caFile = options.count("ca") != 0 ? options.at("ca") : std::string();
  plan.count = numberOr(options, "count", plan.count);
  plan.window = numberOr(options, "window", plan.window);
  plan.threads = numberOr(options, "threads", plan.threads);
  plan.limit = std::chrono::seconds(numberOr(options, "limit", plan.limit.count()));
  plan.hostConnections = static_cast<long>(numberOr(options, "host-connections", 16));
  plan.connectionsPerOrigin = static_cast<int>(numberOr(options, "connections", 0));
  plan.streamsPerOrigin = static_cast<int>(numberOr(options, "streams", 0));
  if (options.count("executor") != 0) {
    if (options.at("executor") != "inline") throw std::invalid_argument("--executor inline");
    plan.inlineExecutor = true;
  }
  if (options.count("libcurl-lines") != 0) {
    if (options.at("libcurl-lines") != "on") throw std::invalid_argument("--libcurl-lines on");
    plan.libcurlLines = true;
  }
  RowResult row = runRow(plan);
  row.name = plan.name;
  appendRow(required(options, "out"), row);
  summarize(row);
  return row.ok == row.requests ? 0 : 2;
}

int toolCommand(int argc, char** argv) {
  std::vector<std::string> command;
  const auto options = parseOptions(argc, argv, 2, &command);
  if (command.empty()) throw std::invalid_argument("missing the command after --");
  const RowResult row = runToolRow(required(options, "name"), required(options, "format"), command);
  appendRow(required(options, "out"), row);
  summarize(row);
  return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  curl_global_init(CURL_GLOBAL_DEFAULT);
  try {
    if (command == "row") return bench::rowCommand(argc, argv);
    if (command == "tool") return bench::toolCommand(argc, argv);
    if (command == "report" && argc == 3) {
      bench::writeReport(std::cout, bench::readRows(argv[2]));
      return 0;
    }
    if (command == "micro-report" && argc == 3) {
      bench::writeMicroReport(std::cout, argv[2]);
      return 0;
    }
    if (command == "answer" && argc == 3) {
      const std::string which = argv[2];
      if (which == "json") std::cout << bench::kJsonAnswer;
      if (which == "soap") std::cout << bench::kSoapAnswer;
      if (which == "request") std::cout << bench::sendMessageRequestBody();
      return which == "json" || which == "soap" || which == "request" ? 0 : 64;
    }
    if (command == "slow-server") {
      const auto options = bench::parseOptions(argc, argv, 2);
      return bench::runSlowServer(
          bench::required(options, "cert"), bench::required(options, "key"),
          std::chrono::milliseconds(bench::numberOr(options, "delay-ms", 200)));
    }
    if (command == "smoke") {
      const auto options = bench::parseOptions(argc, argv, 2);
      return bench::runSmoke(bench::required(options, "cert"), bench::required(options, "key"));
    }
  } catch (const std::exception& e) {
    std::cerr << "velmora_load: " << e.what() << '\n';
    return 1;
  }
  std::cerr << "usage: velmora_load row|tool|report|micro-report|answer|slow-server|smoke ... (see "
               "bench/load/main.cpp)\n";
  return 64;
}
