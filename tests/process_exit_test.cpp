// A process that exits while a thousand requests are in flight ends at once and cleanly: the
// exit neither waits for the requests nor runs their completions while the process is being
// torn down, and the sanitizers find nothing to report.
//
// The child is this same test binary, started again with VELMORA_EXIT_CHILD set: a static
// initialiser below then plays the child's part before the test framework starts.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "support/fault_server.hpp"
#include "velmora/velmora.hpp"

extern char** environ;

namespace velmora {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kInFlight = 1000;
constexpr const char* kMarker = "exiting now\n";

// The child: starts the requests against the stalling server, then exits with status 0, either
// from its main thread or from the completion of the one request that the server answers.
[[noreturn]] void runChild(const std::string& mode, const std::string& baseUrl,
                           const std::string& caFile) {
  Velmora client("exit-user", "exit-password", test::clientOptions(baseUrl, caFile, 60s));
  if (mode == "completion") {
    // Answered after a short delay, by when the other requests are all in flight.
    client.GetCredit([](std::shared_ptr<Result>) {
      std::fputs(kMarker, stderr);
      std::exit(0);
    });
  }
  for (int i = 0; i < kInFlight - 1; ++i) {
    if (i % 2 == 0) {
      client.GetPrices([](std::shared_ptr<Result>) {});
    } else {
      client.CheckSendCode("0912", "1", [](std::optional<bool>) {});
    }
  }
  if (mode == "completion") {
    std::this_thread::sleep_for(30s);  // the completion ends the process long before
    std::_Exit(3);
  }
  std::this_thread::sleep_for(300ms);  // connections are opening, handshakes running
  std::fputs(kMarker, stderr);
  std::exit(0);
}

const bool kIsChild = [] {
  const char* mode = std::getenv("VELMORA_EXIT_CHILD");
  if (mode != nullptr) {
    runChild(mode, std::getenv("VELMORA_EXIT_CHILD_URL"), std::getenv("VELMORA_EXIT_CHILD_CA"));
  }
  return false;
}();

struct ChildRun {
  int status = -1;
  bool sawMarker = false;
  Clock::duration exitTook{};
  std::string stderrText;
};

// Starts the child in `mode`, waits for its marker on standard error, then for its end.
ChildRun runChildProcess(const std::string& mode, const test::FaultServer& server) {
  ChildRun run;
  int errPipe[2];
  if (pipe(errPipe) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclose(&actions, errPipe[0]);

  // ThreadSanitizer on its own sleeps a second at exit while other threads run (to catch races
  // at exit); that pause is the tool's, not the library's, so the child goes without it.
  const char* tsan = std::getenv("TSAN_OPTIONS");
  std::vector<std::string> variables = {
      "VELMORA_EXIT_CHILD=" + mode, "VELMORA_EXIT_CHILD_URL=" + server.baseUrl(),
      "VELMORA_EXIT_CHILD_CA=" + server.caFile(),
      "TSAN_OPTIONS=" + std::string(tsan != nullptr ? tsan : "") + ":atexit_sleep_ms=0"};
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "TSAN_OPTIONS=", 13) != 0) env.push_back(*e);
  }
  for (std::string& v : variables) env.push_back(v.data());
  env.push_back(nullptr);
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::vector<char*> argv = {const_cast<char*>(self.c_str()), nullptr};

  pid_t child = -1;
  const int spawned = posix_spawn(&child, self.c_str(), &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  close(errPipe[1]);
  if (spawned != 0) {
    close(errPipe[0]);
    return run;
  }

  // Read standard error until the marker, then until the child closes it (it exits).
  Clock::time_point markerAt;
  const auto giveUp = Clock::now() + 60s;
  char buffer[4096];
  while (Clock::now() < giveUp) {
    pollfd p{errPipe[0], POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    const ssize_t got = read(errPipe[0], buffer, sizeof buffer);
    if (got <= 0) break;
    run.stderrText.append(buffer, static_cast<std::size_t>(got));
    if (!run.sawMarker && run.stderrText.find(kMarker) != std::string::npos) {
      run.sawMarker = true;
      markerAt = Clock::now();
    }
  }
  close(errPipe[0]);
  // Bounded wait for the exit status; a child that hangs is ended so that the test can report.
  for (int i = 0; i < 2000; ++i) {
    if (waitpid(child, &run.status, WNOHANG) == child) break;
    if (i == 1999) {
      kill(child, SIGKILL);
      waitpid(child, &run.status, 0);
      run.status = -1;
    }
    std::this_thread::sleep_for(5ms);
  }
  run.exitTook = Clock::now() - markerAt;
  return run;
}

TEST(ProcessExit, WithAThousandRequestsInFlightEndsAtOnceAndCleanly) {
  test::FaultServer server(test::FaultServer::Tls{});
  server.setScript([](test::FaultConnection& c) {
    const std::string request = c.readRequest();
    if (request.rfind("POST /api/smsAPI/GetCredit ", 0) == 0) {
      c.stall(300ms);
      c.send(test::httpAnswer(200, "{}"));
      return;
    }
    c.stall(5s);
  });
  for (const char* mode : {"main", "completion"}) {
    SCOPED_TRACE(mode);
    const ChildRun run = runChildProcess(mode, server);
    ASSERT_TRUE(run.sawMarker) << run.stderrText;
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.status;
    EXPECT_LT(run.exitTook, 1s);
    EXPECT_EQ(run.stderrText, kMarker);  // no sanitizer report, no other complaint
  }
  EXPECT_GT(server.connections(), 0u);
}

}  // namespace
}  // namespace velmora
