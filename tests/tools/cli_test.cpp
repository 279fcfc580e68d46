// The velmora command-line tool, run as a separate process against a sandbox in this process:
// exit statuses, the JSON on standard output, the failure line on standard error, profiles and
// the conveniences.

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "campaign/journal.hpp"
#include "sandbox.hpp"
#include "self_signed_certificate.hpp"
#include "support/child_process.hpp"
#include "support/fault_server.hpp"
#include "support/sandbox_log.hpp"
#include "velmora/version.h"

namespace velmora {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using test::Exit;
using test::runProgram;

const std::string kMobile = "09121234567";

Exit runTool(std::vector<std::string> args, const std::vector<std::string>& env = {},
             const std::string& input = {}) {
  args.insert(args.begin(), VELMORA_CLI_PATH);
  return runProgram(std::move(args), env, input);
}

std::vector<std::string> concat(std::vector<std::string> head,
                                const std::vector<std::string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class CliTest : public ::testing::Test {
 protected:
  CliTest() {
    sandbox::SandboxOptions o;
    o.service.accounts = {{"demo", "demo", 1000}};
    o.service.seed = 1;
    o.service.soapNamespace = "http://velmora.test/";
    o.service.deliveryStep = 50ms;
    o.service.inboxPageSize = 2;
    o.certFile = cert_.certFile;
    o.keyFile = cert_.keyFile;
    o.log = log_.sink();
    box_ = std::make_unique<sandbox::Sandbox>(std::move(o));
    char dir[] = "/tmp/velmora-cli-XXXXXX";
    configHome_ = mkdtemp(dir) != nullptr ? dir : "/tmp";
    endpoints_ = {"VELMORA_REST_URL=" + box_->restUrl(), "VELMORA_SOAP_URL=" + box_->soapUrl(),
                  "VELMORA_NAMESPACE=http://velmora.test/", "VELMORA_CACERT=" + cert_.certFile,
                  "XDG_CONFIG_HOME=" + configHome_};
  }
  ~CliTest() override {
    for (const char* file : {"/velmora/config.toml", "/other.toml"}) {
      std::remove((configHome_ + file).c_str());
    }
    rmdir((configHome_ + "/velmora").c_str());
    rmdir(configHome_.c_str());
  }

  // Runs the tool against the sandbox as user demo, with `extraEnv` added.
  Exit tool(std::vector<std::string> args, std::vector<std::string> extraEnv = {},
            const std::string& input = {}) {
    std::vector<std::string> env = endpoints_;
    env.insert(env.end(), {"VELMORA_USER=demo", "VELMORA_PASSWORD=demo"});
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    return runTool(std::move(args), env, input);
  }

  // Writes the config file (by default the default one) with the given permission bits.
  std::string writeConfig(const std::string& text, mode_t mode,
                          const std::string& name = "velmora/config.toml") {
    mkdir((configHome_ + "/velmora").c_str(), 0700);
    const std::string file = configHome_ + "/" + name;
    std::ofstream(file) << text;
    chmod(file.c_str(), mode);
    return file;
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
  std::string configHome_;
  std::vector<std::string> endpoints_;
};

TEST_F(CliTest, AnswersAreJsonOnStandardOutputAndLibraryLinesOnlyWithVerbose) {
  const Exit credit = tool({"credit"});
  EXPECT_EQ(credit.status, 0) << credit.err;
  EXPECT_EQ(answer(credit),
            json({{"Code", 0}, {"CodeName", "Success"}, {"Message", "OK"}, {"Result", 1000}}));
  // The library marks the credit answer with a line of its own: on stderr with -v only.
  EXPECT_EQ(credit.err, "");
  EXPECT_TRUE(contains(tool({"credit", "-v"}).err, "I AM BACK"));

  const Exit sent = tool({"send", "--from", "3000", "--text", "hi there", "--to", kMobile + ",3001",
                          "--group", "g", "-v"});
  EXPECT_EQ(sent.status, 0) << sent.err;
  const json result = answer(sent)["Result"];
  EXPECT_EQ(result["MessageIds"].size(), 2u);
  EXPECT_TRUE(contains(sent.err, "\"PhoneNumber\": \"3000\"")) << sent.err;
  EXPECT_FALSE(contains(sent.out, "PhoneNumber"));

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

// Each way a call can end, with its exit status and the one line on stderr.
TEST_F(CliTest, ExitStatusTellsRefusalsFailuresAndWhetherTheRequestWentOut) {
  test::FaultServer unknownCode(test::FaultServer::Tls{});
  const std::string suspended = R"({"Code":9999,"Message":"Account suspended","Result":null})";
  unknownCode.setScript(test::answerWith(test::httpAnswer(200, suspended)));
  test::FaultServer stringCode(test::FaultServer::Tls{});
  stringCode.setScript(
      test::answerWith(test::httpAnswer(200, R"({"Code":"3003","Message":"Credit is low"})")));
  test::FaultServer noCode(test::FaultServer::Tls{});  // a gateway's answer, not the service's
  noCode.setScript(test::answerWith(test::httpAnswer(200, R"({"Message":"gateway error"})")));
  test::FaultServer silent(test::FaultServer::Tls{});
  silent.setScript(test::stallAfterRequest());
  test::FaultServer oddShape(test::FaultServer::Tls{});  // a Success whose payload is no list
  oddShape.setScript(test::answerWith(
      test::httpAnswer(200, R"({"Code":0,"Message":"OK","Result":{"Status":1}})")));
  const std::vector<std::string> atOddShape{"--rest-url", oddShape.baseUrl(), "--cacert",
                                            oddShape.caFile()};
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;  // a fragment of standard output
    std::string err;  // a fragment of standard error; "" means it must be empty
  };
  const std::vector<Case> cases{
      {{"credit", "--password", "nope"}, 1, R"("CodeName":"UserError")", ""},
      {{"credit", "--rest-url", unknownCode.baseUrl(), "--cacert", unknownCode.caFile()},
       1,
       R"({"Code":9999,"CodeName":"Unknown","Message":"Account suspended","Result":null})",
       ""},
      {{"credit", "--rest-url", stringCode.baseUrl(), "--cacert", stringCode.caFile()},
       1,
       R"("CodeName":"CreditError")",
       ""},
      {{"credit", "--rest-url", noCode.baseUrl(), "--cacert", noCode.caFile()},
       2,
       "null",
       "the request may have reached the service"},
      // Nothing listens on port 1: the connection is refused before any byte is written. The
      // REST side's line is read in RetriesTryAgainWhatNeverLeft.
      {{"code", "check", kMobile, "1", "--soap-url", "http://127.0.0.1:1/x"},
       3,
       "null",
       "nothing was sent"},
      {{"credit", "--rest-url", "https://127.0.0.1:1", "-q"}, 3, "null", ""},
      {{"credit", "--rest-url", silent.baseUrl(), "--cacert", silent.caFile(), "--deadline", "0.5"},
       2,
       "null",
       "the request may have reached the service"},
      {{"send", "--from", "3000", "--text", "bad \xff byte", "--to", kMobile},
       65,
       "null",
       "RefusedInput: SendMessage: message is not valid UTF-8; nothing was sent"},
      // Read as "every message final" or "no more pages", such a payload would end in success.
      {concat({"status", "1000", "--wait"}, atOddShape), 2, R"("Result":{"Status":1})",
       "the answer cannot be read: Result is not an array"},
      {concat({"inbox", "3000", "--all"}, atOddShape), 2, R"("Result":{"Status":1})",
       "the answer cannot be read: Result is not an array"},
      // The scheme's letter case does not matter.
      {{"credit", "--rest-url", "HTTPS" + box_->restUrl().substr(5)}, 0, "1000", ""},
      {{"code", "check", kMobile, "0"}, 1, "false", ""},
      {{"code", "message", "0912", "1234"}, 1, "-1002", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Exit run = tool(c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_TRUE(contains(run.out, c.out)) << run.out;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
    if (c.err.empty()) {
      EXPECT_EQ(run.err, "");
    }
    EXPECT_TRUE(contains(run.err, c.err)) << run.err;
  }
}

// Nothing listens on port 1: each try is refused before a byte leaves, so each goes again, as
// many times as --retries says, and the failure line counts them.
TEST_F(CliTest, RetriesTryAgainWhatNeverLeft) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "(tried 3 times); nothing was sent"},
      {{"--retries", "4"}, "(tried 5 times); nothing was sent"},
      // libcurl's own words for it, which differ between its versions.
      {{"--retries", "0"},
       std::string(curl_easy_strerror(CURLE_COULDNT_CONNECT)) + "; nothing was sent"},
  };
  for (const auto& [flags, line] : cases) {
    SCOPED_TRACE(::testing::PrintToString(flags));
    std::vector<std::string> args{"credit", "--rest-url", "https://127.0.0.1:1"};
    args.insert(args.end(), flags.begin(), flags.end());
    const Exit run = tool(args);
    EXPECT_EQ(run.status, 3);
    EXPECT_TRUE(contains(run.err, line)) << run.err;
  }
  const Exit tooMany = tool({"credit", "--retries", "10"});
  EXPECT_EQ(tooMany.status, 64);
  EXPECT_TRUE(contains(tooMany.err, "--retries")) << tooMany.err;
}

// True when every byte is printable ASCII or a line feed: what a peer sent may be shown, but
// never as bytes that a terminal obeys (ESC, BEL, C1 controls) or that are not text.
bool plainAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte == '\n' || (byte >= 0x20 && byte < 0x7f);
  });
}

// A hostile server's status line, headers and answer texts: set the window title, clear the
// screen, start a control sequence with a raw C1 byte. The command shows them escaped.
TEST_F(CliTest, NothingAServerSendsReachesTheTerminalRaw) {
  test::FaultServer hostile(test::FaultServer::Tls{});
  hostile.setScript(
      test::answerWith("HTTP/1.1 418 \x1b]0;PWNED-TITLE\x07\x1b[2J\x1b[31mRED\r\n"
                       "X-Evil: \x1b[5mblink\x9b"
                       "31m\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}"));
  const Exit diagnosed =
      tool({"-v", "--rest-url", hostile.baseUrl(), "--cacert", hostile.caFile(), "credit"});
  EXPECT_NE(diagnosed.status, 0);
  EXPECT_TRUE(plainAscii(diagnosed.err)) << diagnosed.err;
  EXPECT_TRUE(contains(diagnosed.err, "Status Line: HTTP/1.1 418 \\x1b]0;PWNED-TITLE\\x07\\x1b[2J"))
      << diagnosed.err;
  EXPECT_TRUE(contains(diagnosed.err, "X-Evil: \\x1b[5mblink\\x9b31m")) << diagnosed.err;

  // CSI, OSC and ST as C1 characters, and DEL, in the service's sentence: JSON escapes, so the
  // answer reads back whole.
  const std::string message = "Credit \u009b31m low \u009d0;T\u009c\x7f";
  test::FaultServer refusing(test::FaultServer::Tls{});
  refusing.setScript(test::answerWith(test::httpAnswer(
      200, json{{"Code", 3003}, {"Message", message}, {"Result", nullptr}}.dump())));
  for (const std::vector<std::string>& layout : {std::vector<std::string>{}, {"--pretty"}}) {
    SCOPED_TRACE(::testing::PrintToString(layout));
    const Exit sent = tool(concat({"send", "--from", "3000", "--text", "x", "--to", kMobile,
                                   "--rest-url", refusing.baseUrl(), "--cacert", refusing.caFile()},
                                  layout));
    EXPECT_EQ(sent.status, 1) << sent.err;
    EXPECT_TRUE(plainAscii(sent.out)) << sent.out;
    EXPECT_TRUE(contains(sent.out, "\\u009b31m low \\u009d0;T\\u009c\\u007f")) << sent.out;
    const json value = json::parse(sent.out, nullptr, false);
    ASSERT_FALSE(value.is_discarded()) << sent.out;
    EXPECT_EQ(value["Message"], message);
    EXPECT_EQ(value["CodeName"], "CreditError");
  }
}

// A journal is a file that anything may have written: what `campaign show` prints from it has its
// controls escaped, and bytes that are not UTF-8 become U+FFFD, so the output stays JSON.
TEST_F(CliTest, JournalContentsPrintAsJsonWithoutRawControls) {
  const std::string path = configHome_ + "/journal.sqlite";
  const std::string groupId = "g\x1b[2J\u009b31m\xff";
  velmora::campaign::Journal(path).begin({"send", "3000", "x", "digest", 1, 1}, "c0ffee01",
                                         {{groupId, {"0912\u009d1234567"}}}, 2.0);
  const Exit shown = runTool({"campaign", "show", path});
  std::remove(path.c_str());
  EXPECT_EQ(shown.status, 0) << shown.err;
  std::string out = shown.out;
  for (auto at = out.find("\ufffd"); at != std::string::npos; at = out.find("\ufffd")) {
    out.erase(at, 3);
  }
  EXPECT_TRUE(plainAscii(out)) << shown.out;
  const json value = json::parse(shown.out, nullptr, false);
  ASSERT_FALSE(value.is_discarded()) << shown.out;
  EXPECT_EQ(value["batches"][0]["groupId"], "g\x1b[2J\u009b31m\ufffd");
  EXPECT_EQ(value["batches"][0]["mobiles"][0], "0912\u009d1234567");
}

TEST_F(CliTest, VerificationCodesPrintTheirNumberOrTruth) {
  const Exit sent = tool({"code", "send", kMobile, "--footer", "Velmora"});
  EXPECT_EQ(sent.status, 0) << sent.err;
  EXPECT_GT(answer(sent).get<std::int64_t>(), 0);
  const std::string code = log_.codeSentTo(kMobile, 1);
  ASSERT_FALSE(code.empty());
  const Exit right = tool({"code", "check", kMobile, code});
  EXPECT_EQ(right.status, 0);
  EXPECT_EQ(right.out, "true\n");
}

TEST_F(CliTest, BadUsageExitsWith64AndSaysWhy) {
  struct Case {
    std::vector<std::string> args;
    std::string err;  // a fragment of standard error
  };
  const std::vector<Case> cases{
      {{}, "subcommand"},
      {{"crdit"}, "unknown command 'crdit'; did you mean 'credit'?"},
      {{"code", "snd", "1"}, "unknown command 'snd'; did you mean 'send'?"},
      {{"inbox", "3000", "--page", "x"}, "--page"},
      {{"send", "--from", "3000", "--text", "x"}, "--to"},
      {{"send-each", "--from", "3000", "-m", "no-equals-sign"}, "no-equals-sign"},
      {{"credit", "--rest-url", "http://127.0.0.1:1"}, "https://"},
      {{"credit", "--cacert", "/no/such/file.pem"}, "/no/such/file.pem"},
      {{"credit", "--timeout", "0"}, "--timeout"},
      {{"credit", "--timeout", "nan"}, "--timeout"},
      {{"credit", "--timeout", "86401"}, "--timeout"},
      {{"credit", "--deadline", "0"}, "--deadline"},
      {{"status", "1", "--wait", "--every", "inf"}, "--every"},
      {{"credit", "-v", "-q"}, "--quiet"},
      {{"credit", "--region", "XX"}, "--region"},
      {{"completion", "fish"}, "fish"},
      {{"send", "--form", "3000", "--text", "x", "--to", "0912"},
       "unknown option '--form'; did you mean '--from'? See velmora send --help"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Exit run = tool(c.args);
    EXPECT_EQ(run.status, 64);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(contains(run.err, c.err)) << run.err;
  }
  const Exit version = runTool({"--version"}, {});
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(contains(version.out, "velmora " + std::to_string(int(VelmoraVersionNumber)) + "."));
  // The completion script knows nested subcommands and their own flags.
  const std::string script = runTool({"completion", "bash"}, {}).out;
  EXPECT_TRUE(contains(script, "complete -o default -F _velmora velmora")) << script;
  EXPECT_TRUE(contains(script, "\"code send\") words=\"--help -h --footer")) << script;
  // A subcommand's help names the options every command takes.
  const std::string help = runTool({"campaign", "report", "--help"}, {}).out;
  EXPECT_TRUE(contains(help, "Options of every command (see velmora --help): --user")) << help;
  // Without credentials in flags or the environment.
  const Exit anonymous = runTool({"credit"}, endpoints_);
  EXPECT_EQ(anonymous.status, 64);
  EXPECT_TRUE(contains(anonymous.err, "VELMORA_USER")) << anonymous.err;
}

TEST_F(CliTest, PasswordFromStdinAndProxyChoice) {
  std::vector<std::string> noPassword = endpoints_;
  noPassword.push_back("VELMORA_USER=demo");
  EXPECT_EQ(runTool({"credit", "--password-stdin"}, noPassword, "demo\n").status, 0);
  EXPECT_EQ(runTool({"credit", "--password-stdin"}, noPassword, "nope\n").status, 1);
  EXPECT_EQ(runTool({"credit", "--password-stdin"}, noPassword, "").status, 64);

  // A proxy that refuses connections: used when named, ignored when "" says none.
  EXPECT_EQ(tool({"credit"}, {"https_proxy=http://127.0.0.1:1", "VELMORA_PROXY="}).status, 0);
  EXPECT_EQ(tool({"credit", "--proxy", "http://127.0.0.1:1"}).status, 3);
  EXPECT_EQ(tool({"credit", "--proxy", ""}, {"VELMORA_PROXY=http://127.0.0.1:1"}).status, 0);
}

// Profiles: a section of the config file gives defaults; flags beat the environment, which
// beats the file; a password is read only from a file that others cannot read.
TEST_F(CliTest, ProfilesGiveDefaultsBelowEnvironmentAndFlags) {
  const std::string work = "user = \"nobody\"\n[work]\nuser = \"demo\"\npassword = \"demo\"\n";
  struct Case {
    std::string file;
    mode_t mode;
    std::vector<std::string> args;
    std::vector<std::string> env;
    int status;
    std::string err;  // a fragment of standard error
  };
  const std::vector<Case> cases{
      {work, 0600, {"credit", "--profile", "work"}, {}, 0, ""},
      {work, 0600, {"credit"}, {"VELMORA_PROFILE=work"}, 0, ""},
      {work, 0640, {"credit", "--profile", "work"}, {}, 64, "config.toml"},
      {work, 0600, {"credit", "--profile", "away"}, {}, 64, "[away]"},
      {work, 0600, {"credit"}, {}, 64, "password"},
      {work, 0600, {"credit"}, {"VELMORA_PASSWORD=demo"}, 1, ""},  // user "nobody"
      {work, 0600, {"credit", "--profile", "work", "--password", "nope"}, {}, 1, ""},
      {"[work]\npassword = \"nope\"\n",
       0600,
       {"credit", "--profile", "work"},
       {"VELMORA_USER=demo", "VELMORA_PASSWORD=demo"},
       0,
       ""},
      {"[work]\ntimeout = \"nan\"\n", 0600, {"credit", "--profile", "work"}, {}, 64, "timeout"},
      {"[work]\ncolour = \"red\"\n", 0600, {"credit", "--profile", "work"}, {}, 64, "colour"},
      // A value the profile gives is cleared by "" on the command line.
      {"[work]\nregion = \"QQ\"\n", 0600, {"credit", "--profile", "work"}, {}, 64, "region"},
      {"[work]\nregion = \"QQ\"\n",
       0600,
       {"credit", "--profile", "work", "--region", ""},
       {"VELMORA_USER=demo", "VELMORA_PASSWORD=demo"},
       0,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file + ::testing::PrintToString(c.args));
    writeConfig(c.file, c.mode);
    std::vector<std::string> env = endpoints_;
    env.insert(env.end(), c.env.begin(), c.env.end());
    const Exit run = runTool(c.args, env);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_TRUE(contains(run.err, c.err)) << run.err;
  }
  // --config names another file.
  const std::string other = writeConfig(work, 0600, "other.toml");
  EXPECT_EQ(runTool({"credit", "--config", other, "--profile", "work"}, endpoints_).status, 0);
  std::remove(other.c_str());

  // The completion script offers the profiles of the config file, the states, and @FILE paths.
  writeConfig("[work]\n[home]\n", 0600);
  const std::string numbers = configHome_ + "/velmora/numbers.txt";
  writeConfig("09120000001\n", 0600, "velmora/numbers.txt");
  const auto complete = [&](const std::string& words) {
    const std::string script = "source <(" + std::string(VELMORA_CLI_PATH) +
                               " completion bash); COMP_WORDS=(" + words +
                               "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _velmora; "
                               "echo \"${COMPREPLY[*]}\"";
    return runProgram({"/bin/bash", "-c", script}, endpoints_, {}).out;
  };
  EXPECT_EQ(complete("velmora credit --profile ''"), "work home\n");
  EXPECT_EQ(complete("velmora campaign report j.db --state Fil"), "Filtered\n");
  EXPECT_EQ(complete("velmora send --to @" + configHome_ + "/velmora/num"), "@" + numbers + "\n");
  std::remove(numbers.c_str());
}

// A config file that another user may change, or that belongs to one, could send the password
// anywhere: it is refused, with what to change, as is a link of another user to a good file.
// Ownership is changed to uid 65534, as root may write whatever the mode bits say.
TEST_F(CliTest, ConfigFileIsUsedOnlyWhenNoOtherUserMayChangeIt) {
  const std::string work = "[work]\nuser = \"demo\"\npassword = \"demo\"\n";
  const std::string file = configHome_ + "/velmora/config.toml";
  const std::string real = configHome_ + "/other.toml";
  const std::vector<std::pair<std::function<void()>, std::string>> cases{
      {[&] { writeConfig(work, 0622); }, "(chmod go-w " + file + ")"},
      {[&] { writeConfig(work, 0644); }, "(chmod 600 " + file + ")"},
      {[&] { chown(writeConfig(work, 0600).c_str(), 65534, 65534); },
       "belongs to another user (uid 65534)"},
      {[&] {
         writeConfig(work, 0600, "other.toml");
         std::remove(file.c_str());
         symlink(real.c_str(), file.c_str());
         lchown(file.c_str(), 65534, 65534);
       },
       file + " is a symbolic link of another user"},
      {[&] {
         std::remove(file.c_str());
         mkdir(file.c_str(), 0700);
       },
       file + " is a folder, not a config file"},
  };
  for (const auto& [prepare, says] : cases) {
    SCOPED_TRACE(says);
    prepare();
    const Exit run = runTool({"credit", "--profile", "work"}, endpoints_);
    EXPECT_EQ(run.status, 64) << run.err;
    EXPECT_TRUE(contains(run.err, says)) << run.err;
    std::remove(file.c_str());
  }
  // The user's own link to a file of theirs is followed.
  symlink(real.c_str(), file.c_str());
  const Exit linked = runTool({"credit", "--profile", "work"}, endpoints_);
  EXPECT_EQ(linked.status, 0) << linked.err;
}

TEST_F(CliTest, StatusWaitsForFinalStatesAndInboxFollowsPages) {
  for (const char* text : {"one", "two", "three"}) {
    ASSERT_EQ(tool({"send", "--from", "3000", "--text", text, "--to", "3001"}).status, 0);
  }
  const Exit all = tool({"inbox", "3001", "--all"});
  EXPECT_EQ(all.status, 0) << all.err;
  EXPECT_EQ(answer(all)["Result"].size(), 3u);
  const Exit capped = tool({"inbox", "3001", "--all", "--max-pages", "1"});
  EXPECT_EQ(capped.status, 4);
  EXPECT_EQ(answer(capped)["Result"].size(), 2u);

  const std::string later = std::to_string(std::time(nullptr) + 3600);
  const auto groupOf = [&](std::vector<std::string> args) {
    return answer(tool(std::move(args)))["Result"]["GroupMessageId"].get<std::string>();
  };
  const std::string now = groupOf(
      {"send", "--from", "3000", "--text", "x", "--to", kMobile + ",09120000000,09129999999"});
  const std::string queued =
      groupOf({"send", "--from", "3000", "--text", "x", "--to", kMobile, "--at", later});
  const Exit done = tool({"status", now, "--wait", "--every", "0.05", "--limit", "30"});
  EXPECT_EQ(done.status, 0) << done.err;
  std::set<std::int64_t> states;
  const json final = answer(done);
  for (const json& entry : final["Result"]) states.insert(entry["Status"].get<int>());
  EXPECT_EQ(states, (std::set<std::int64_t>{1, 3, 16})) << done.out;  // Sended, Filtered, ...
  const Exit waiting = tool({"status", queued, "--wait", "--every", "0.05", "--limit", "0.3"});
  EXPECT_EQ(waiting.status, 4);
  EXPECT_TRUE(contains(waiting.err, "1 of 1")) << waiting.err;
}

}  // namespace
}  // namespace velmora
