// Campaigns of the velmora command: the readers of recipient files, the journal, and the command
// itself killed or interrupted mid-send against a sandbox in this process.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "campaign/journal.hpp"
#include "recipients.hpp"
#include "sandbox.hpp"
#include "self_signed_certificate.hpp"
#include "support/child_process.hpp"
#include "support/fault_server.hpp"
#include "support/sandbox_log.hpp"

namespace velmora {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using namespace velmora::cli;
using namespace velmora::campaign;

std::string temporaryFolder() {
  char name[] = "/tmp/velmora-campaign-XXXXXX";
  return ::mkdtemp(name) != nullptr ? name : "/tmp";
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// ---- Reading recipients ------------------------------------------------------------------------

TEST(CampaignInput, ReadsNumbersAndCsvRowsAndNamesTheBadLines) {
  struct Case {
    const char* name;
    bool csv;
    std::string text;
    std::string recipients;  // "id:mobile=message" (CSV) or "mobile", each followed by a space
    std::size_t duplicates;
    std::string problemLines;  // each followed by a space
  };
  const std::vector<Case> cases{
      {"numbers", false,
       "09120000001\n\n  # a comment\n 09120000002 # trailing\r\n+989120000003\n09120000001\n",
       "09120000001 09120000002 +989120000003 ", 1, ""},
      {"bad numbers", false, "12\n09120000001\n0912 0000 001\nabc\n1234567890123456\n",
       "09120000001 ", 0, "1 3 4 5 "},
      {"quotes, CRLF, byte order mark, columns in any order, ids by position", true,
       "\xEF\xBB\xBFmessage,Mobile,extra\r\n\"hi, \"\"you\"\"\",09120000001,x\r\nplain,"
       "09120000002,y\r\n",
       "1:09120000001=hi, \"you\" 2:09120000002=plain ", 0, ""},
      {"a byte order mark before the first number", false,
       "\xEF\xBB\xBF"
       "09120000001\n",
       "09120000001 ", 0, ""},
      {"ids, a text over two lines, duplicates, blank lines", true,
       "id,mobile,message\na,09120000001,\"two\nlines\"\n\nb,09120000002,x\n"
       "c,09120000001,\"two\nlines\"\n",
       "a:09120000001=two\nlines b:09120000002=x ", 1, ""},
      {"malformed rows keep their line numbers", true,
       "mobile,message\n09120000001,\"one\ntwo\"\n09120000002\n09120000003,\"a\"b\n"
       "09120000004,a\"b\"\n09120000005,\xC3\x28\n09120000006,\n0912x,t\n09120000007,ok\n",
       "1:09120000001=one\ntwo 8:09120000007=ok ", 0, "4 5 6 7 8 9 "},
      {"an unterminated quote ends the file", true,
       "mobile,message\n09120000001,\"open\n09120000002,x\n", "", 0, "2 "},
      {"overlong UTF-8 and surrogates are refused", true,
       "mobile,message\n09120000001,\xC0\xAF\n09120000002,\xED\xA0\x80\n"
       "09120000003,\xF0\x9F\x98\x80\n",
       "3:09120000003=\xF0\x9F\x98\x80 ", 0, "2 3 "},
      {"no message column", true, "mobile,text\n09120000001,x\n", "", 0, "1 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecipientList list;
    (c.csv ? readCsv : readNumbers)(c.text, "f", list);
    std::string recipients;
    for (const Recipient& r : list.recipients()) {
      recipients += c.csv ? (r.id + ":" + r.mobile + "=" + r.text + " ") : r.mobile + " ";
    }
    std::string lines;
    for (const InputProblem& p : list.problems()) lines += std::to_string(p.line) + " ";
    EXPECT_EQ(recipients, c.recipients);
    EXPECT_EQ(list.duplicates(), c.duplicates);
    EXPECT_EQ(lines, c.problemLines);
  }
}

// With a region, numbers are read as people write them; without one, only bare digits are.
TEST(CampaignInput, ReadsSpacesAndDashesInNumbersOnlyWithARegion) {
  const std::string text = "0912 000-0001\n(0912) 000.0002\n";
  RecipientRules rules;
  rules.region = "IR";
  RecipientList withRegion(rules);
  readNumbers(text, "f", withRegion);
  ASSERT_EQ(withRegion.recipients().size(), 2u);
  EXPECT_EQ(withRegion.recipients()[0].mobile, "09120000001");
  EXPECT_EQ(withRegion.recipients()[1].mobile, "09120000002");
  RecipientList csv(rules);
  readCsv("mobile,message\n0912 000-0003,hi\n", "f", csv);
  ASSERT_EQ(csv.recipients().size(), 1u);
  EXPECT_EQ(csv.recipients()[0].mobile, "09120000003");
  RecipientList bare;
  readNumbers(text, "f", bare);
  EXPECT_EQ(bare.problems().size(), 2u);
}

// One number in several forms counts once, kept as first written; rows that give one number two
// texts, or one id two rows, are refused with both lines unless repeats are allowed.
TEST(CampaignInput, ComparesNumbersByWhatTheyNameAndRefusesRowsThatDisagree) {
  struct Case {
    const char* name;
    RecipientRules rules;
    std::string text;        // CSV when it starts with a header
    std::string recipients;  // "mobile=message", each followed by a space
    std::size_t duplicates;
    std::size_t otherForms;
    std::size_t repeats;
    std::size_t problemLine;  // 0: no problem
    std::string problemSays;
  };
  const RecipientRules iran{"IR", false};
  const std::vector<Case> cases{
      {"national, international and bare forms with a region", iran,
       "09120000001\n+989120000001\n9120000001\n00989120000001\n09120000002\n",
       "09120000001= 09120000002= ", 3, 3, 0, 0, ""},
      {"without a region only international forms are compared by number",
       {},
       "09120000001\n+989120000001\n9120000001\n+9809120000001\n3001\n3001\n",
       "09120000001= +989120000001= 9120000001= 3001= ",
       2,
       1,
       0,
       0,
       ""},
      {"one number, one text, two forms", iran,
       "mobile,message\n09120000001,hi\n+989120000001,hi\n", "09120000001=hi ", 1, 1, 0, 0, ""},
      {"one number in another form with another text", iran,
       "mobile,message\n09120000001,hi\n09120000002,x\n+989120000001,bye\n",
       "09120000001=hi 09120000002=x ", 0, 0, 0, 4, "another text than on line 2"},
      {"a repeated id",
       {},
       "id,mobile,message\na,09120000001,hi\nb,09120000002,x\na,09120000003,hi\n",
       "09120000001=hi 09120000002=x ",
       0,
       0,
       0,
       4,
       "the id \"a\" is also on line 2"},
      {"a repeated id on a plain duplicate is a duplicate",
       {},
       "id,mobile,message\na,09120000001,hi\na,09120000001,hi\n",
       "09120000001=hi ",
       1,
       0,
       0,
       0,
       ""},
      {"repeats allowed: the first row wins",
       {"IR", true},
       "id,mobile,message\na,09120000001,hi\nb,+989120000001,bye\na,09120000003,x\n",
       "09120000001=hi ",
       0,
       0,
       2,
       0,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecipientList list(c.rules);
    (c.text.rfind("id,", 0) == 0 || c.text.rfind("mobile,", 0) == 0 ? readCsv : readNumbers)(
        c.text, "f", list);
    std::string recipients;
    for (const Recipient& r : list.recipients()) recipients += r.mobile + "=" + r.text + " ";
    EXPECT_EQ(recipients, c.recipients);
    EXPECT_EQ(list.duplicates(), c.duplicates);
    EXPECT_EQ(list.otherForms(), c.otherForms);
    EXPECT_EQ(list.repeats(), c.repeats);
    EXPECT_EQ(list.problems().size(), c.problemLine == 0 ? 0u : 1u);
    if (c.problemLine == 0 || list.problems().empty()) continue;
    EXPECT_EQ(list.problems()[0].line, c.problemLine);
    EXPECT_NE(list.problems()[0].reason.find(c.problemSays), std::string::npos)
        << list.problems()[0].reason;
  }
}

// ---- The journal -------------------------------------------------------------------------------

CampaignIdentity identity() {
  return {"send", "3000", "hello", "d1", 250, 100};
}

std::vector<BatchContents> batchContents(std::size_t count) {
  std::vector<BatchContents> out;
  for (std::size_t b = 1; b <= count; ++b) {
    out.push_back({"c0ffee01-" + std::to_string(b), {"0912000000" + std::to_string(b), "3000"}});
  }
  return out;
}

BatchUpdate update(std::size_t batch, BatchState state, std::optional<long long> code = {},
                   std::string detail = "") {
  BatchUpdate out;
  out.batch = batch;
  out.state = state;
  out.code = code;
  out.detail = std::move(detail);
  return out;
}

void changeJournal(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_close(db);
}

// A journal whose rows are not the ones it was made with cannot tell what was sent.
TEST(CampaignJournal, RefusesRowsCutOrChangedAfterItWasMade) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"DELETE FROM batch WHERE id > 4", "holds 4 batches of the 6"},
      {"DELETE FROM batch WHERE id = 3", "misses batch 3"},
      {"UPDATE batch SET mobiles = '09129999999' WHERE id = 2", "were changed"},
      {"UPDATE batch SET group_id = 'x' WHERE id = 6", "were changed"},
      // A state set back or forward by hand: the batch would be sent twice, or never.
      {"UPDATE batch SET state = 'pending' WHERE id = 2", "batch 2 of the journal"},
      {"UPDATE batch SET state = 'sent' WHERE id = 5", "is sent, but its runs left it pending"},
  };
  for (const auto& [sql, says] : cases) {
    SCOPED_TRACE(sql);
    const std::string path = temporaryFolder() + "/j.db";
    {
      Journal journal(path);
      journal.begin(identity(), "c0ffee01", batchContents(6), 2.0);
      journal.record({update(2, BatchState::InFlight), update(2, BatchState::Sent)});
    }
    changeJournal(path, sql);
    try {
      Journal(path).begin(identity(), "c0ffee01", batchContents(6), 2.0);
      ADD_FAILURE() << "accepted";
    } catch (const JournalError& e) {
      EXPECT_NE(std::string(e.what()).find(says), std::string::npos) << e.what();
    }
  }
}

// A journal written before runs logged their outcomes takes its states as they stand, once.
TEST(CampaignJournal, AJournalWithoutTheOutcomeLogGainsItAndIsHeldToItFromThen) {
  const std::string path = temporaryFolder() + "/j.db";
  {
    Journal journal(path);
    journal.begin(identity(), "c0ffee01", batchContents(3), 2.0);
    journal.record({update(1, BatchState::InFlight), update(1, BatchState::Sent)});
  }
  changeJournal(path,
                "DROP TABLE outcome; DROP TABLE message; ALTER TABLE batch DROP COLUMN resends; "
                "PRAGMA user_version = 2");
  EXPECT_EQ(Journal(path).begin(identity(), "c0ffee01", batchContents(3), 2.0).batches[0].state,
            BatchState::Sent);
  changeJournal(path, "UPDATE batch SET state = 'pending' WHERE id = 1");
  EXPECT_THROW(Journal(path).begin(identity(), "c0ffee01", batchContents(3), 2.0), JournalError);
}

TEST(CampaignJournal, RefusesAnotherCampaignASecondRunAndOtherFiles) {
  const std::string folder = temporaryFolder();
  const std::string path = folder + "/j.db";
  Journal(path).begin(identity(), "c0ffee01", batchContents(3), 2.0);
  struct Case {
    const char* name;
    void (*change)(CampaignIdentity&);
    const char* says;
  };
  const std::vector<Case> cases{
      // Text and recipients: see InterruptedSendStopsCleanlyAndAnotherCampaignIsRefused.
      {"command", [](CampaignIdentity& c) { c.command = "send-each"; }, "send"},
      {"sender", [](CampaignIdentity& c) { c.sender = "3001"; }, "sender line is 3000"},
      {"batch size", [](CampaignIdentity& c) { c.batchSize = 50; }, "--batch 100"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CampaignIdentity other = identity();
    c.change(other);
    try {
      Journal(path).begin(other, "c0ffee01", batchContents(3), 2.0);
      ADD_FAILURE() << "accepted";
    } catch (const JournalMismatch& e) {
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
    }
  }
  Journal first(path);
  EXPECT_THROW(Journal{path}, JournalError);
  writeFile(folder + "/notes.txt", "not a database at all, but long enough to look at\n");
  EXPECT_THROW(Journal(folder + "/notes.txt").begin(identity(), "c0ffee01", batchContents(1), 2.0),
               JournalError);
}

// ---- The command against a sandbox -------------------------------------------------------------

// The summary: the last line of standard output.
json summary(const test::Exit& run) {
  std::string text = run.out;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  const auto start = text.rfind('\n');
  return json::parse(start == std::string::npos ? text : text.substr(start + 1), nullptr, false);
}

std::unique_ptr<test::ChildProcess> command(std::vector<std::string> args,
                                            const std::vector<std::string>& env,
                                            const std::string& program = VELMORA_CLI_PATH) {
  args.insert(args.begin(), program);
  return std::make_unique<test::ChildProcess>(std::move(args), env);
}

// What a proxy in front of the sandbox does with one send.
enum class Fate {
  Answer,  // passes it on and returns the answer
  Keep,    // passes it on, then closes without a byte of answer
  Drop,    // closes without passing it on: the service never knows it
  Hold,    // passes it on and answers nothing until the client goes away
};

// A TLS server in front of a sandbox's service that decides the fate of each send by its index
// (from 0); every other request is passed on and answered.
class ServiceProxy {
 public:
  explicit ServiceProxy(sandbox::Service& service) : service_(service) {
    server_.setScript([this](test::FaultConnection& c) { serve(c); });
  }

  void setFates(std::function<Fate(std::size_t)> fates) {
    std::lock_guard<std::mutex> lock(mutex_);
    fates_ = std::move(fates);
  }
  std::size_t held() const { return held_.load(); }
  const test::FaultServer& server() const { return server_; }

 private:
  void serve(test::FaultConnection& c) {
    for (std::string request = c.readRequest(); !request.empty(); request = c.readRequest()) {
      const std::string head = request.substr(0, request.find("\r\n\r\n"));
      const std::string path = head.substr(0, head.find(" HTTP/"));
      const std::string operation = path.substr(path.rfind('/') + 1);
      const Fate fate = operation.rfind("Send", 0) == 0 ? fateOfNextSend() : Fate::Answer;
      if (fate == Fate::Drop) return c.close();
      const auto auth = head.find("Authorization: ");
      const std::string authorization =
          auth == std::string::npos ? ""
                                    : head.substr(auth + 15, head.find("\r\n", auth) - auth - 15);
      const std::string body = request.substr(head.size() + 4);
      const std::string answer = service_.handleJson(operation, authorization, body).body.dump();
      if (fate == Fate::Keep) return c.close();
      if (fate == Fate::Hold) {
        ++held_;
        return c.stall();
      }
      c.send(test::keepAliveAnswer(answer));
    }
  }

  Fate fateOfNextSend() {
    std::lock_guard<std::mutex> lock(mutex_);
    return fates_ ? fates_(sends_++) : Fate::Answer;
  }

  sandbox::Service& service_;
  std::mutex mutex_;
  std::function<Fate(std::size_t)> fates_;
  std::size_t sends_ = 0;
  std::atomic<std::size_t> held_{0};
  test::FaultServer server_{test::FaultServer::Tls{}};
};

class CampaignCommand : public ::testing::Test {
 protected:
  static constexpr std::size_t kNumbers = 5000;

  explicit CampaignCommand(std::chrono::milliseconds deliveryStep = 1000ms) {
    sandbox::SandboxOptions o;
    o.service.deliveryStep = deliveryStep;
    o.service.accounts = {{"demo", "demo", 100000000}, {"poor", "poor", 150}};
    o.certFile = cert_.certFile;
    o.keyFile = cert_.keyFile;
    o.log = log_.sink();
    box_ = std::make_unique<sandbox::Sandbox>(std::move(o));
    env_ = environment("demo", box_->restUrl());
    std::string numbers;
    for (std::size_t i = 1; i <= kNumbers; ++i) numbers += std::to_string(9120000000 + i) + "\n";
    writeFile(folder_ + "/numbers.txt", numbers);
  }

  std::vector<std::string> environment(const std::string& user, const std::string& url) {
    return {"VELMORA_REST_URL=" + url, "VELMORA_CACERT=" + cert_.certFile, "VELMORA_USER=" + user,
            "VELMORA_PASSWORD=" + user};
  }

  // The command that sends the numbers file under the journal, with `extra` flags.
  std::vector<std::string> sendArgs(const std::vector<std::string>& extra) {
    std::vector<std::string> args{
        "send",      "--from", "3000", "--text", "hello", "--to", "@" + folder_ + "/numbers.txt",
        "--journal", journal_};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  std::unique_ptr<test::ChildProcess> start(const std::vector<std::string>& extra = {}) {
    return command(sendArgs(extra), env_);
  }

  // Waits until the sandbox has answered `count` requests (or 30 s passed).
  void awaitRequests(std::size_t count) { log_.waitForLines(count, 30s); }

  // How many times each number reached the sandbox: the recipients of every group it made.
  // Group and message ids come from one counter from 1000, so the groups follow each other.
  std::map<std::string, int> arrivals() {
    std::map<std::string, int> out;
    for (std::uint64_t id = 1000;;) {
      const json answer = box_->service()
                              .handleJson("GroupMessageStatus", "Basic ZGVtbzpkZW1v",
                                          json({{"GroupMessageId", std::to_string(id)}}).dump())
                              .body;
      if (answer["Code"] != 0) return out;
      for (const json& entry : answer["Result"]) ++out[entry["Mobile"].get<std::string>()];
      id += answer["Result"].size() + 1;
    }
  }

  // The numbers of the journal's batches that match `where`, one a line in each.
  std::set<std::string> journalNumbers(const std::string& where) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(journal_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* select = nullptr;
    const std::string sql = "SELECT mobiles FROM batch WHERE " + where;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &select, nullptr);
    std::set<std::string> out;
    while (sqlite3_step(select) == SQLITE_ROW) {
      std::istringstream lines(reinterpret_cast<const char*>(sqlite3_column_text(select, 0)));
      for (std::string n; std::getline(lines, n);) out.insert(n);
    }
    sqlite3_finalize(select);
    sqlite3_close(db);
    return out;
  }

  // The command's environment with the proxy as the service.
  std::vector<std::string> throughProxy(const ServiceProxy& proxy) {
    return {"VELMORA_REST_URL=" + proxy.server().baseUrl(),
            "VELMORA_CACERT=" + proxy.server().caFile(), "VELMORA_USER=demo",
            "VELMORA_PASSWORD=demo"};
  }

  // Every number of the test file reached the sandbox exactly once.
  void expectEveryNumberOnce() {
    const std::map<std::string, int> reached = arrivals();
    EXPECT_EQ(reached.size(), kNumbers);
    for (const auto& [number, times] : reached) EXPECT_EQ(times, 1) << number;
  }

  tools::CertificateFiles cert_ = tools::makeSelfSignedCertificate();
  test::SandboxLog log_;
  std::unique_ptr<sandbox::Sandbox> box_;
  std::vector<std::string> env_;
  std::string folder_ = temporaryFolder();
  std::string journal_ = folder_ + "/journal.db";
};

// Sends that reached the service but whose answers never came: killed while four calls were
// still under way, the resume finds every one of them by its group id, sends the rest, and
// leaves nothing uncertain.
TEST_F(CampaignCommand, ResumeFindsTheSendsWhoseAnswersWereLost) {
  ServiceProxy proxy(box_->service());
  proxy.setFates([](std::size_t send) {
    return send >= 12 ? Fate::Hold : send % 4 == 1 ? Fate::Keep : Fate::Answer;
  });
  env_ = throughProxy(proxy);
  {
    auto killed = start({"--in-flight", "4"});
    for (int i = 0; i < 300 && proxy.held() < 4; ++i) std::this_thread::sleep_for(100ms);
    ASSERT_EQ(proxy.held(), 4u);
    killed->signal(SIGKILL);
    killed->finish();
  }
  proxy.setFates({});
  const test::Exit resumed = start({"--in-flight", "4"})->finish();
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  const json summary = velmora::summary(resumed);
  EXPECT_EQ(summary["settledByLookup"]["sent"], 3 + 4) << summary;
  EXPECT_EQ(summary["unknown"], 0);
  EXPECT_EQ(summary["sent"], kNumbers / 100);
  expectEveryNumberOnce();
  EXPECT_TRUE(journalNumbers("state <> 'sent'").empty());
}

// A journal that can no longer grow (a file size limit stands in for a full disk): no call starts
// after the failure, and the outcome of every call that was under way is either in the journal
// or on standard error, so that none of those batches would later be taken for uncertain.
TEST_F(CampaignCommand, AFullDiskStopsTheRunWithoutLosingAKnownOutcome) {
  if (::access("/usr/bin/prlimit", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/prlimit";
  // Past the limit a write fails with EFBIG, instead of the signal ending the process; an
  // ignored signal stays ignored in the child.
  const auto previous = ::signal(SIGXFSZ, SIG_IGN);
  const test::Exit run =
      command({"--fsize=100000", VELMORA_CLI_PATH, "send", "--from", "3000", "--text", "hi", "--to",
               "@" + folder_ + "/numbers.txt", "--journal", journal_, "--in-flight", "4"},
              env_, "/usr/bin/prlimit")
          ->finish();
  ::signal(SIGXFSZ, previous);
  EXPECT_EQ(run.status, 2) << run.err;
  EXPECT_NE(run.err.find("cannot write the journal " + journal_), std::string::npos) << run.err;
  std::set<std::string> told;  // numbers of the batches whose outcome only standard error has
  for (const std::string& n : journalNumbers("state = 'in-flight'")) told.insert(n);
  std::size_t toldBatches = 0;
  for (std::size_t at = run.err.find(": sent group message id"); at != std::string::npos;
       at = run.err.find(": sent group message id", at + 1)) {
    ++toldBatches;
  }
  EXPECT_EQ(told.size(), toldBatches * 100) << run.err;
  std::set<std::string> known = journalNumbers("state = 'sent'");
  known.insert(told.begin(), told.end());
  std::set<std::string> reached;
  for (const auto& entry : arrivals()) reached.insert(entry.first);
  EXPECT_EQ(known, reached);
  EXPECT_LT(reached.size(), kNumbers) << "the journal never failed";
}

// The service records batch 2's first send only after it was called not-found and sent again:
// the resend went under a group id of its own, so the late send is found and reported.
TEST_F(CampaignCommand, AFirstSendRecordedLateIsReportedAsDeliveredTwice) {
  const std::string three = folder_ + "/three.txt";
  writeFile(three, "09120000001\n09120000002\n09120000003\n");
  const std::vector<std::string> args{"send", "--from",    "3000",    "--text",   "hi",
                                      "--to", "@" + three, "--batch", "1",        "--in-flight",
                                      "1",    "--journal", journal_,  "--settle", "0"};
  ServiceProxy proxy(box_->service());
  proxy.setFates([](std::size_t send) { return send == 1 ? Fate::Drop : Fate::Answer; });
  const test::Exit first = command(args, throughProxy(proxy))->finish();
  EXPECT_EQ(first.status, 2) << first.err;
  EXPECT_EQ(summary(first)["not-found"], 1) << summary(first);
  // The journal alone names the batches in a state, with their numbers.
  const json notFound =
      summary(command({"campaign", "show", journal_, "--state", "not-found"}, {})->finish());
  EXPECT_EQ(notFound["batches"].size(), 1u) << notFound;
  EXPECT_EQ(notFound["batches"][0]["mobiles"], json({"09120000002"})) << notFound;

  std::vector<std::string> resend = args;
  resend.push_back("--resend-unknown");
  const test::Exit second = command(resend, env_)->finish();
  EXPECT_EQ(second.status, 0) << second.err;
  const json shown = summary(command({"campaign", "show", journal_}, {})->finish());
  EXPECT_EQ(shown["batches"][1]["resends"], 1) << shown;

  // The first send arrives now, as a peer that kept it would deliver it.
  const std::string group = shown["batches"][1]["groupId"].get<std::string>();
  const json late{{"PhoneNumber", "3000"},
                  {"Message", "hi"},
                  {"Mobiles", {"09120000002"}},
                  {"UserGroupID", group},
                  {"SendDateInTimeStamp", 0}};
  const json recorded =
      box_->service().handleJson("SendMessage", "Basic ZGVtbzpkZW1v", late.dump()).body;
  ASSERT_EQ(recorded["Code"], 0) << recorded;
  const test::Exit followed = command({"status", "--journal", journal_}, env_)->finish();
  EXPECT_EQ(followed.status, 6) << followed.err;
  EXPECT_EQ(summary(followed)["deliveredTwice"], json({2})) << summary(followed);
  EXPECT_NE(followed.err.find("batch 2 was delivered twice: its send under " + group + " "),
            std::string::npos)
      << followed.err;
}

// A pseudo-terminal for a child's standard error, read while the child writes.
class Terminal {
 public:
  Terminal() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ::grantpt(master_);
    ::unlockpt(master_);
    path_ = ::ptsname(master_);
    // Held here too, so that reading sees no hang-up before the child has opened it.
    slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    reader_ = std::thread([this] {
      char buffer[4096];
      for (ssize_t n; (n = ::read(master_, buffer, sizeof buffer)) > 0;) text_.append(buffer, n);
    });
  }
  ~Terminal() {
    text();
    ::close(master_);
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  const std::string& path() const { return path_; }
  // All that was written; call once the child has ended.
  const std::string& text() {
    if (slave_ >= 0) ::close(slave_);
    slave_ = -1;
    if (reader_.joinable()) reader_.join();
    return text_;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::string text_;
  std::thread reader_;
};

// Ctrl-C on a terminal: the bar is finished where it stood, then one line says how many batches
// are settled and how to go on; the summaries count this run beside the whole campaign.
TEST_F(CampaignCommand, InterruptedOnATerminalSaysHowToResumeAndCountsThisRun) {
  Terminal terminal;
  // The shell sends the command's standard error to the terminal and then runs it in its place.
  std::vector<std::string> args{"-c", "exec \"$@\" 2>" + terminal.path(), "sh", VELMORA_CLI_PATH};
  const std::vector<std::string> send = sendArgs({"--in-flight", "2"});
  args.insert(args.end(), send.begin(), send.end());
  const auto interrupted = command(args, env_, "/bin/sh");
  awaitRequests(3);
  interrupted->signal(SIGINT);
  const test::Exit stopped = interrupted->finish();
  ASSERT_EQ(stopped.status, 130) << terminal.text();
  const json first = summary(stopped);
  const int sentFirst = first["sent"].get<int>();
  ASSERT_GT(first["pending"].get<int>(), 0) << first;
  EXPECT_EQ(first["thisRun"]["sent"], sentFirst);

  const std::string& shown = terminal.text();
  const std::string line = "velmora: stopped: " + std::to_string(sentFirst) +
                           " of 50 batches are settled (sent or refused); run the same command "
                           "again to resume";
  const auto said = shown.find(line);
  ASSERT_NE(said, std::string::npos) << shown;
  const auto lastBar = shown.rfind("\r[", said);
  ASSERT_NE(lastBar, std::string::npos) << "no bar was drawn: " << shown;
  EXPECT_LT(shown.find('\n', lastBar), said) << "the bar's line was not ended: " << shown;
  EXPECT_EQ(shown.find('\r', said), shown.find("\r\n", said)) << "drawn over: " << shown;

  const test::Exit resumed = start()->finish();
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  const json second = summary(resumed);
  EXPECT_EQ(second["sent"], 50);
  EXPECT_EQ(second["thisRun"]["sent"], 50 - sentFirst) << second;
  EXPECT_EQ(second["thisRun"]["pending"], 0);
  expectEveryNumberOnce();
}

// Following a campaign's delivery, against a sandbox whose messages move on every 50 ms.
class CampaignFollow : public CampaignCommand {
 protected:
  CampaignFollow() : CampaignCommand(50ms) {}

  // Sends `numbers` in batches of 100 recorded in the journal `name`, then removes the numbers
  // file: following needs the journal alone. Returns the journal's path.
  std::string sendCampaign(const std::string& name, const std::string& numbers,
                           const std::vector<std::string>& extra, int status = 0) {
    const std::string file = folder_ + "/" + name + ".txt";
    writeFile(file, numbers);
    std::vector<std::string> args{"send",     "--from",    "3000",
                                  "--text",   "hi",        "--to",
                                  "@" + file, "--journal", folder_ + "/" + name + ".db"};
    args.insert(args.end(), extra.begin(), extra.end());
    const test::Exit sent = command(args, env_)->finish();
    EXPECT_EQ(sent.status, status) << sent.err;
    std::remove(file.c_str());
    return folder_ + "/" + name + ".db";
  }
};

std::string numbersFrom(std::uint64_t first, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += "0" + std::to_string(first + i) + "\n";
  return out;
}

TEST_F(CampaignFollow, SummarisesTheSentBatchesByStateAndExitsByWhatIsLeastKnown) {
  // The sandbox's test numbers: one ending 0000 is filtered, one ending 9999 is not delivered.
  const std::string mixed =
      sendCampaign("mixed", numbersFrom(9120000001, 298) + "09121230000\n09124569999\n", {});
  env_ = environment("demo", "https://127.0.0.1:1");
  const std::string unsent = sendCampaign("unsent", numbersFrom(9120000001, 150), {}, 2);
  env_ = environment("demo", box_->restUrl());
  const std::vector<std::string> wait{"--wait", "--every", "0.05", "--limit", "30"};
  struct Case {
    const char* name;
    std::string journal;
    std::vector<std::string> flags;
    int status;
    json expected;  // members of the summary
  };
  const std::vector<Case> cases{
      {"some undelivered",
       mixed,
       wait,
       1,
       {{"batches", 3},
        {"followed", 3},
        {"messages", 300},
        {"final", 300},
        {"delivered", 298},
        {"states", {{"Sended", 298}, {"Filtered", 1}, {"NotInTelecommunication", 1}}}}},
      {"never sent",
       unsent,
       {},
       2,
       {{"followed", 0}, {"messages", 0}, {"notFollowed", {{"unsent", 2}}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args{"status", "--journal", c.journal};
    args.insert(args.end(), c.flags.begin(), c.flags.end());
    const test::Exit run = command(args, env_)->finish();
    EXPECT_EQ(run.status, c.status) << run.err;
    const json summary = velmora::summary(run);
    for (const auto& [key, value] : c.expected.items()) EXPECT_EQ(summary[key], value) << key;
  }
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"status"}, {"status", "1000", "--journal", mixed}}) {
    EXPECT_EQ(command(args, env_)->finish().status, 64);
  }
  // Who was not reached, from the journal alone, by the states' names.
  const test::Exit missed = command({"campaign", "report", mixed, "--state", "Filtered", "--state",
                                     "NotInTelecommunication", "--format", "csv"},
                                    {})
                                ->finish();
  EXPECT_EQ(missed.status, 0) << missed.err;
  std::vector<std::string> rows;
  std::istringstream lines(missed.out);
  for (std::string line; std::getline(lines, line);) rows.push_back(line);
  ASSERT_EQ(rows.size(), 3u) << missed.out;
  EXPECT_EQ(rows[0], "batch,groupId,mobile,messageId,state,status\r");
  EXPECT_NE(rows[1].find(",09121230000,"), std::string::npos) << rows[1];
  EXPECT_NE(rows[1].find(",Filtered,3\r"), std::string::npos) << rows[1];
  EXPECT_NE(rows[2].find(",09124569999,"), std::string::npos) << rows[2];
  EXPECT_NE(rows[2].find(",NotInTelecommunication,16\r"), std::string::npos) << rows[2];
  // Before any poll, a recipient's state is its batch's.
  const json never = summary(command({"campaign", "report", unsent}, {})->finish());
  ASSERT_EQ(never["recipients"].size(), 150u) << never;
  EXPECT_EQ(never["recipients"][0]["state"], "unsent");
  EXPECT_EQ(never["recipients"][0]["messageId"], "");
}

// The region, from --region or the profile, makes every form of a number one recipient, sent as
// first written; a CSV that gives a number two texts sends nothing unless repeats are allowed.
TEST_F(CampaignCommand, EachNumberCountsOnceInAnyFormAndDisagreeingRowsSendNothing) {
  writeFile(folder_ + "/rows.csv",
            "id,mobile,message\n1,09120000001,hi\n2,09120000002,x\n3,+989120000001,bye\n");
  const std::vector<std::string> rows{"send-each",           "--from",   "3000", "--csv",
                                      folder_ + "/rows.csv", "--region", "IR"};
  const test::Exit refused = command(rows, env_)->finish();
  EXPECT_EQ(refused.status, 65) << refused.err;
  EXPECT_NE(refused.err.find("rows.csv:4: +989120000001 has another text than on line 2"),
            std::string::npos)
      << refused.err;
  EXPECT_TRUE(arrivals().empty());
  std::vector<std::string> allowed = rows;
  allowed.push_back("--allow-repeats");
  const test::Exit firstRowWins = command(allowed, env_)->finish();
  EXPECT_EQ(firstRowWins.status, 0) << firstRowWins.err;
  EXPECT_EQ(summary(firstRowWins)["repeatsDropped"], 1) << firstRowWins.out;
  EXPECT_EQ(summary(firstRowWins)["recipients"], 2) << firstRowWins.out;

  writeFile(folder_ + "/forms.txt", "09120000011\n+989120000011\n9120000011\n09120000012\n");
  const test::Exit forms = command({"send", "--from", "3000", "--text", "hi", "--to",
                                    "@" + folder_ + "/forms.txt", "--region", "IR"},
                                   env_)
                               ->finish();
  EXPECT_EQ(forms.status, 0) << forms.err;
  EXPECT_EQ(summary(forms)["recipients"], 2) << forms.out;
  EXPECT_EQ(summary(forms)["duplicatesInOtherForm"], 2) << forms.out;
  EXPECT_NE(forms.err.find("+989120000011 (" + folder_ + "/forms.txt:2) as 09120000011"),
            std::string::npos)
      << forms.err;

  ::mkdir((folder_ + "/velmora").c_str(), 0700);
  writeFile(folder_ + "/velmora/config.toml", "region = \"ir\"\n");
  ::chmod((folder_ + "/velmora/config.toml").c_str(), 0600);
  std::vector<std::string> withProfile = env_;
  withProfile.push_back("XDG_CONFIG_HOME=" + folder_);
  const test::Exit profile = command({"send", "--from", "3000", "--text", "hi", "--to",
                                      "09120000021,+989120000021", "--journal", journal_},
                                     withProfile)
                                 ->finish();
  EXPECT_EQ(profile.status, 0) << profile.err;
  EXPECT_EQ(summary(profile)["recipients"], 1) << profile.out;

  const std::map<std::string, int> expected{{"09120000001", 1},
                                            {"09120000002", 1},
                                            {"09120000011", 1},
                                            {"09120000012", 1},
                                            {"09120000021", 1}};
  EXPECT_EQ(arrivals(), expected);
}

// Files the command cannot use, and input meant for the terminal: one line each, naming the
// path and the cause, with what the input holds escaped. Nothing is sent.
TEST_F(CampaignCommand, UnusableFilesAndHostileInputGetOneClearLine) {
  writeFile(folder_ + "/hostile.txt",
            std::string("0912\x1b]2;owned\x07\n09\0x\n\xff\xc2\x9b\n", 24));
  writeFile(folder_ + "/hostile.csv", "mobile,message\n\x1b[2J,hi\n");
  std::remove("/dev/null-journal");
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> says;  // fragments of standard error
  };
  const std::vector<Case> cases{
      {{"--to", "@" + folder_ + "/hostile.txt"},
       {R"("0912\x1b]2;owned\x07" is not)", R"(:2: "09\x00x" is not)",
        R"(:3: "\xff\xc2\x9b" is not)"}},
      {{"--to", "@" + folder_}, {"cannot read " + folder_ + ": it is a folder"}},
      {{"--to", "09120000001", "--journal", "/dev/null"},
       {"the journal /dev/null is not a regular file"}},
      {{"--to", "09120000001", "--journal", folder_}, {"the journal " + folder_ + " is not a"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    std::vector<std::string> args{"send", "--from", "3000", "--text", "hi"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const test::Exit run = command(args, env_)->finish();
    EXPECT_NE(run.status, 0);
    for (const std::string& part : c.says)
      EXPECT_NE(run.err.find(part), std::string::npos) << run.err;
    EXPECT_TRUE(std::none_of(run.err.begin(), run.err.end(), [](char ch) {
      return (static_cast<unsigned char>(ch) < 0x20 && ch != '\n') ||
             static_cast<unsigned char>(ch) >= 0x80;
    })) << run.err;
  }
  const test::Exit csv =
      command({"send-each", "--from", "3000", "--csv", folder_ + "/hostile.csv"}, env_)->finish();
  EXPECT_NE(csv.err.find(R"(hostile.csv:2: "\x1b[2J" is not)"), std::string::npos) << csv.err;
  EXPECT_NE(::access("/dev/null-journal", F_OK), 0) << "SQLite wrote beside /dev/null";
  std::remove("/dev/null-journal");
  EXPECT_TRUE(arrivals().empty());
}

// A journal this user may not write, as a user other than root (root may write anything).
TEST_F(CampaignCommand, UnwritableJournalNamesThePathAndTheCause) {
  chmod(folder_.c_str(), 0755);
  const std::string open = folder_ + "/open";
  const std::string closed = folder_ + "/closed";
  mkdir(open.c_str(), 01777);
  chmod(open.c_str(), 01777);
  mkdir(closed.c_str(), 0755);
  writeFile(open + "/root.db", "");  // 0644 at most: a file only its owner, root, may write
  const std::vector<std::pair<std::string, std::string>> cases{
      {open + "/root.db", "cannot write the journal " + open + "/root.db: Permission denied"},
      {closed + "/new.db", "cannot write the folder " + closed + " of the journal"},
  };
  for (const auto& [journal, says] : cases) {
    const test::Exit run = test::runProgram(
        {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", VELMORA_CLI_PATH,
         "send", "--from", "3000", "--text", "hi", "--to", "09120000001", "--journal", journal},
        {"XDG_CONFIG_HOME=" + folder_, "VELMORA_USER=demo", "VELMORA_PASSWORD=demo",
         "VELMORA_REST_URL=" + box_->restUrl()});
    if (run.status == 126 || run.status == 127 || run.err.find("setpriv") != std::string::npos) {
      GTEST_SKIP() << "cannot run the command as uid 65534: " << run.err;
    }
    EXPECT_EQ(run.status, 64) << run.err;
    EXPECT_NE(run.err.find(says), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace velmora
