// The velmora command-line tool, run as a separate process against a sandbox in this process:
// exit statuses, the JSON on standard output, and the library's lines kept off it.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sandbox.hpp"
#include "self_signed_certificate.hpp"
#include "support/sandbox_log.hpp"

extern char** environ;

namespace velmora {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const std::string kMobile = "09121234567";

struct Exit {
  int status = -1;  // the exit status, or -1 when the program did not exit normally
  std::string out;
  std::string err;
};

// Runs the tool with `args` and the given environment on top of this process's (minus every
// VELMORA_ variable), and collects both outputs. Bounded: a run that takes longer than 60 s is
// killed.
Exit runTool(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
  std::vector<std::string> argStore{VELMORA_CLI_PATH};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<std::string> envStore;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "VELMORA_", 8) != 0) envStore.emplace_back(*e);
  }
  envStore.insert(envStore.end(), env.begin(), env.end());
  const auto pointers = [](std::vector<std::string>& store) {
    std::vector<char*> out;
    for (std::string& s : store) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
  };
  std::vector<char*> argv = pointers(argStore);
  std::vector<char*> envp = pointers(envStore);

  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe";
    return {};
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  close(errPipe[1]);
  Exit result;
  if (spawned != 0) {
    ADD_FAILURE() << "cannot run " << argv[0] << ": " << std::strerror(spawned);
    close(outPipe[0]);
    close(errPipe[0]);
    return result;
  }
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0 && std::chrono::steady_clock::now() < deadline) {
    if (poll(fds, 2, 100) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  if (open > 0) {
    ADD_FAILURE() << "the tool did not finish within 60 s";
    kill(pid, SIGKILL);
    for (const pollfd& f : fds) {
      if (f.fd >= 0) close(f.fd);
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

class CliTest : public ::testing::Test {
 protected:
  CliTest() {
    sandbox::SandboxOptions o;
    o.service.accounts = {{"demo", "demo", 1000}};
    o.service.seed = 1;
    o.service.soapNamespace = "http://velmora.test/";
    o.certFile = cert_.certFile;
    o.keyFile = cert_.keyFile;
    o.log = log_.sink();
    box_ = std::make_unique<sandbox::Sandbox>(std::move(o));
    env_ = {"VELMORA_REST_URL=" + box_->restUrl(),
            "VELMORA_SOAP_URL=" + box_->soapUrl(),
            "VELMORA_NAMESPACE=http://velmora.test/",
            "VELMORA_CACERT=" + cert_.certFile,
            "VELMORA_USER=demo",
            "VELMORA_PASSWORD=demo"};
  }

  Exit tool(std::vector<std::string> args, std::vector<std::string> extraEnv = {}) {
    std::vector<std::string> env = env_;
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    return runTool(args, env);
  }

  // The one JSON value of standard output; fails the test when there is anything else.
  static json answer(const Exit& run) {
    EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << "not one line: " << run.out;
    const json value = json::parse(run.out, nullptr, false);
    EXPECT_FALSE(value.is_discarded()) << run.out;
    return value;
  }

  test::SandboxLog log_;
  tools::CertificateFiles cert_ = tools::makeSelfSignedCertificate();
  std::unique_ptr<sandbox::Sandbox> box_;
  std::vector<std::string> env_;
};

TEST_F(CliTest, AnswersAreJsonOnStandardOutputAndDiagnosticsGoElsewhere) {
  const Exit credit = tool({"credit"});
  EXPECT_EQ(credit.status, 0) << credit.err;
  EXPECT_EQ(answer(credit),
            json({{"Code", 0}, {"CodeName", "Success"}, {"Message", "OK"}, {"Result", 1000}}));
  // The library marks the credit answer with a line of its own; it must not reach stdout.
  EXPECT_NE(credit.err.find("I AM BACK"), std::string::npos);

  const Exit sent = tool(
      {"send", "--from", "3000", "--text", "hi there", "--to", kMobile + ",3001", "--group", "g"});
  EXPECT_EQ(sent.status, 0) << sent.err;
  const json result = answer(sent)["Result"];
  EXPECT_EQ(result["MessageIds"].size(), 2u);
  // The library prints each request body; that goes to stderr only.
  EXPECT_NE(sent.err.find("\"PhoneNumber\": \"3000\""), std::string::npos) << sent.err;
  EXPECT_EQ(sent.out.find("PhoneNumber"), std::string::npos);

  const Exit status = tool({"status", result["GroupMessageId"].get<std::string>()});
  EXPECT_EQ(status.status, 0);
  EXPECT_EQ(answer(status)["Result"].size(), 2u);
  const Exit inbox = tool({"inbox", "3001"});
  EXPECT_EQ(answer(inbox)["Result"][0]["MsgBody"], "hi there");
  const Exit each =
      tool({"send-each", "--from", "3000", "-m", "a:" + kMobile + "=one", "-m", kMobile + "=two"});
  EXPECT_EQ(answer(each)["Result"]["Cost"], 200);
  EXPECT_EQ(answer(tool({"group-id", "g"}))["Result"], result["GroupMessageId"]);
}

TEST_F(CliTest, RefusalsExitWithOneAndFailuresWithTwo) {
  const Exit wrong = tool({"credit", "--password", "nope"});
  EXPECT_EQ(wrong.status, 1);
  EXPECT_EQ(answer(wrong)["CodeName"], "UserError");
  const Exit poor = tool({"send", "--from", "3000", "--text", "x", "--to",
                          kMobile + "," + kMobile + "," + kMobile + "," + kMobile + "," + kMobile +
                              "," + kMobile + "," + kMobile + "," + kMobile + "," + kMobile + "," +
                              kMobile + "," + kMobile});
  EXPECT_EQ(poor.status, 1);
  EXPECT_EQ(answer(poor)["CodeName"], "CreditError");

  // Nothing listens on port 1: the exchange fails and the answer is null.
  const Exit unreachable = tool({"credit", "--rest-url", "https://127.0.0.1:1"});
  EXPECT_EQ(unreachable.status, 2);
  EXPECT_EQ(unreachable.out, "null\n");
  EXPECT_NE(unreachable.err.find("error"), std::string::npos);
  const Exit noSoap = tool({"code", "check", kMobile, "1", "--soap-url", "http://127.0.0.1:1/x"});
  EXPECT_EQ(noSoap.status, 2);
  EXPECT_EQ(noSoap.out, "null\n");
}

TEST_F(CliTest, VerificationCodesPrintTheirNumberOrTruth) {
  const Exit sent = tool({"code", "send", kMobile, "--footer", "Velmora"});
  EXPECT_EQ(sent.status, 0) << sent.err;
  EXPECT_GT(answer(sent).get<std::int64_t>(), 0);
  const std::string code = log_.codeSentTo(kMobile, 1);
  ASSERT_FALSE(code.empty());

  const Exit wrong = tool({"code", "check", kMobile, "0"});
  EXPECT_EQ(wrong.status, 1);
  EXPECT_EQ(wrong.out, "false\n");
  const Exit right = tool({"code", "check", kMobile, code});
  EXPECT_EQ(right.status, 0);
  EXPECT_EQ(right.out, "true\n");
  // A negative number is the service's refusal.
  const Exit refused = tool({"code", "message", "0912", "1234"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, "-1002\n");
}

TEST_F(CliTest, BadUsageExitsWith64AndSaysWhy) {
  const std::vector<std::vector<std::string>> cases{
      {},
      {"fly"},
      {"code"},
      {"inbox", "3000", "--page", "x"},
      {"send", "--from", "3000", "--text", "x"},
      {"send-each", "--from", "3000", "-m", "no-equals-sign"},
      {"credit", "--rest-url", "http://127.0.0.1:1"},
      {"credit", "--timeout", "0"},
      {"credit", "--cacert", "/no/such/file.pem"},
  };
  for (const auto& args : cases) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    SCOPED_TRACE(joined);
    const Exit run = tool(args);
    EXPECT_EQ(run.status, 64);
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_FALSE(run.err.empty());
  }
  // Without credentials in flags or the environment.
  const Exit anonymous = runTool({"credit", "--rest-url", box_->restUrl()});
  EXPECT_EQ(anonymous.status, 64);
  EXPECT_NE(anonymous.err.find("VELMORA_USER"), std::string::npos) << anonymous.err;

  const Exit help = tool({"send", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--from"), std::string::npos);
}

}  // namespace
}  // namespace velmora
