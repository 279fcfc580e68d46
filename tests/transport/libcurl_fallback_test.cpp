// A libcurl whose informational lines the library does not know could never prove a refused
// HTTP/2 stream unprocessed: with one, every origin speaks HTTP/1.1, and the first client made
// says why, once. Run in a child process in which libcurl reports another version
// (support/libcurl_version_override.cpp).

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "support/child_process.hpp"
#include "support/fault_server.hpp"
#include "support/lines.hpp"
#include "support/nginx.hpp"
#include "velmora/velmora.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;

constexpr int kCalls = 20;

// The child: two clients send at once through nginx; says on standard error how many answered.
[[noreturn]] void runChild(const std::string& baseUrl, const std::string& caFile) {
  Velmora first("u", "p", test::clientOptions(baseUrl, caFile, 20s));
  Velmora second("u", "p", test::clientOptions(baseUrl, caFile, 20s));
  auto latch = std::make_shared<test::Latch>(static_cast<std::size_t>(kCalls));
  auto answered = std::make_shared<std::atomic<int>>(0);
  for (int i = 0; i < kCalls; ++i) {
    (i % 2 == 0 ? first : second).GetCredit([answered, latch](std::shared_ptr<Result> r) {
      if (r) ++*answered;
      latch->done();
    });
  }
  const bool ended = latch->wait(30s);
  std::fprintf(stderr, "answered %d\n", ended ? answered->load() : -1);
  std::exit(0);
}

const bool kIsChild = [] {
  if (std::getenv("VELMORA_FALLBACK_CHILD_URL") != nullptr) {
    runChild(std::getenv("VELMORA_FALLBACK_CHILD_URL"), std::getenv("VELMORA_FALLBACK_CHILD_CA"));
  }
  return false;
}();

struct ChildRun {
  test::Exit exit;
  std::string accessLog;  // nginx's lines for the child's requests
};

// Runs this binary as the child, libcurl reporting `version` (empty: its own).
ChildRun runChildProcess(const std::string& version) {
  const std::string dir = std::filesystem::temp_directory_path() /
                          ("velmora-fallback-" + std::to_string(::getpid()) + version);
  std::filesystem::create_directories(dir);
  const std::string log = dir + "/access.log";
  std::filesystem::remove(log);
  test::FaultServer backend;
  backend.setScript(test::answerEach(R"({"Code":0,"Message":"ok","Result":1})"));
  test::Nginx nginx(backend.port(), "access_log " + log + ";");
  EXPECT_TRUE(nginx.ready());
  std::vector<std::string> env{"VELMORA_FALLBACK_CHILD_URL=" + nginx.baseUrl(),
                               "VELMORA_FALLBACK_CHILD_CA=" + nginx.caFile()};
  if (!version.empty()) env.push_back("VELMORA_FAKE_LIBCURL_VERSION=" + version);
  test::ChildProcess child({std::filesystem::read_symlink("/proc/self/exe").string()}, env);
  ChildRun run;
  run.exit = child.finish();
  std::ostringstream lines;
  lines << std::ifstream(log).rdbuf();
  run.accessLog = lines.str();
  std::filesystem::remove_all(dir);
  return run;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

#define SKIP_WITHOUT_NGINX() \
  if (!test::Nginx::available()) GTEST_SKIP() << "nginx is not installed (scripts/install-deps)"

TEST(LibcurlFallback, AnUnknownLibcurlSpeaksHttp1ToEveryOriginAndSaysWhyOnce) {
  SKIP_WITHOUT_NGINX();
  const std::string notice = "is outside the versions whose HTTP/2 lines this library reads";
  const ChildRun unknown = runChildProcess("080f00");  // 8.15.0
  EXPECT_EQ(unknown.exit.status, 0) << unknown.exit.err;
  EXPECT_NE(unknown.exit.err.find("answered 20"), std::string::npos) << unknown.exit.err;
  EXPECT_EQ(occurrences(unknown.exit.out, "HTTP/2 is off: libcurl 8.15.0 " + notice), 1u)
      << unknown.exit.out;
  EXPECT_EQ(occurrences(unknown.accessLog, "HTTP/1.1\""), static_cast<std::size_t>(kCalls))
      << unknown.accessLog;

  // The same child on the libcurl it really has speaks HTTP/2 and says nothing of it.
  const ChildRun known = runChildProcess("");
  EXPECT_EQ(known.exit.status, 0) << known.exit.err;
  EXPECT_EQ(occurrences(known.exit.out, notice), 0u) << known.exit.out;
  EXPECT_EQ(occurrences(known.accessLog, "HTTP/2.0\""), static_cast<std::size_t>(kCalls))
      << known.accessLog;
}

}  // namespace
}  // namespace velmora
