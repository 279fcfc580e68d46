// A process that exits while a thousand requests are in flight ends at once and cleanly: the
// exit neither waits for the requests nor runs their completions while the process is being
// torn down, and the sanitizers find nothing to report.
//
// The child is this same test binary, started again with VELMORA_EXIT_CHILD set: a static
// initialiser below then plays the child's part before the test framework starts.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "support/child_process.hpp"
#include "support/fault_server.hpp"
#include "velmora/velmora.hpp"

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
  test::Exit exit;
  bool sawMarker = false;
  Clock::duration exitTook{};
};

// Runs this binary as the child in `mode`; measures from its marker on standard error to its end.
ChildRun runChildProcess(const std::string& mode, const test::FaultServer& server) {
  // ThreadSanitizer on its own sleeps a second at exit while other threads run (to catch races
  // at exit); that pause is the tool's, not the library's, so the child goes without it.
  const char* tsan = std::getenv("TSAN_OPTIONS");
  test::ChildProcess child(
      {std::filesystem::read_symlink("/proc/self/exe").string()},
      {"VELMORA_EXIT_CHILD=" + mode, "VELMORA_EXIT_CHILD_URL=" + server.baseUrl(),
       "VELMORA_EXIT_CHILD_CA=" + server.caFile(),
       "TSAN_OPTIONS=" + std::string(tsan != nullptr ? tsan : "") + ":atexit_sleep_ms=0"});
  ChildRun run;
  Clock::time_point markerAt;
  const auto giveUp = Clock::now() + 60s;
  while (child.running() && Clock::now() < giveUp) {
    if (!run.sawMarker && child.errors().find(kMarker) != std::string::npos) {
      run.sawMarker = true;
      markerAt = Clock::now();
    }
    std::this_thread::sleep_for(2ms);
  }
  // A marker written just before a quick exit may only show once the child has ended.
  run.exitTook = run.sawMarker ? Clock::now() - markerAt : Clock::duration::zero();
  run.exit = child.finish();
  run.sawMarker = run.exit.err.find(kMarker) != std::string::npos;
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
    ASSERT_TRUE(run.sawMarker) << run.exit.err;
    EXPECT_EQ(run.exit.status, 0);
    EXPECT_LT(run.exitTook, 1s);
    EXPECT_EQ(run.exit.err, kMarker);  // no sanitizer report, no other complaint
  }
  EXPECT_GT(server.connections(), 0u);
}

}  // namespace
}  // namespace velmora
