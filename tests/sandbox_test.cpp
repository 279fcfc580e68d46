// The library against the sandbox, both in this process: every operation, the service's
// refusals, the delivery clock, the inbox, the verification-code flow, and bad input.

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sandbox.hpp"
#include "self_signed_certificate.hpp"
#include "soap_xml.hpp"
#include "support/client_access.hpp"
#include "support/loopback_server.hpp"
#include "support/sandbox_log.hpp"
#include "velmora/future.hpp"
#include "velmora/velmora.hpp"

namespace velmora {
namespace {

using nlohmann::json;
using sandbox::Clock;
using namespace std::chrono_literals;

constexpr std::int64_t kStartMs = 1700000000000;  // the sandbox's clock when a test begins
constexpr auto kStep = 10s;                       // time per delivery state
const std::string kMobile = "09121234567";

RecipientsMessage to(std::string mobile, std::string text, std::string id = "1") {
  RecipientsMessage m;
  m.setId(std::move(id));
  m.setMobile(std::move(mobile));
  m.setMessage(std::move(text));
  return m;
}

// Waits, bounded, for the value of one operation started by `start`.
template <class Value, class Start>
Value await(Start&& start) {
  auto future = toFuture<Value>(std::forward<Start>(start));
  if (future.wait_for(20s) != std::future_status::ready) {
    ADD_FAILURE() << "the completion did not run";
    return Value{};
  }
  return future.get();
}

class SandboxTest : public ::testing::Test {
 protected:
  SandboxTest() : clockMs_(std::make_shared<std::atomic<std::int64_t>>(kStartMs)) {}

  // Accounts: demo (plenty of credit) and poor (150); lines 3000 and 3001; codes seeded.
  sandbox::ServiceConfig config() {
    sandbox::ServiceConfig c;
    c.accounts = {{"demo", "demo", 100000}, {"poor", "poor:word", 150}};
    c.whiteList = {"09120000001"};
    c.deliveryStep = kStep;
    c.inboxPageSize = 2;
    c.seed = 42;
    c.soapNamespace = "http://velmora.test/";
    c.now = [clock = clockMs_] { return Clock::time_point(std::chrono::milliseconds(*clock)); };
    return c;
  }

  std::unique_ptr<sandbox::Sandbox> start(sandbox::ServiceConfig c) {
    sandbox::SandboxOptions o;
    o.service = std::move(c);
    o.certFile = cert_.certFile;
    o.keyFile = cert_.keyFile;
    o.log = log_.sink();
    return std::make_unique<sandbox::Sandbox>(std::move(o));
  }

  Options options() const {
    Options o;
    o.restBaseUrl = box_->restUrl();
    o.soapUrl = box_->soapUrl();
    o.soapNamespace = "http://velmora.test/";
    o.caFile = cert_.certFile;
    o.timeout = 10s;
    return o;
  }

  void advance(std::chrono::milliseconds by) { *clockMs_ += by.count(); }
  std::int64_t nowSeconds() const { return *clockMs_ / 1000; }

  std::shared_ptr<Result> run(const std::function<void(Velmora&, ResultCompletion)>& op,
                              Velmora* who = nullptr) {
    Velmora& c = who ? *who : client;
    return await<std::shared_ptr<Result>>([&](ResultCompletion done) { op(c, std::move(done)); });
  }

  // Runs `op` and expects an answer with `code`; returns its payload.
  json expect(ResultCode code, const std::function<void(Velmora&, ResultCompletion)>& op,
              Velmora* who = nullptr) {
    const std::shared_ptr<Result> result = run(op, who);
    if (!result) {
      std::string lines;
      for (const std::string& line : capture_.lines()) lines += line + "\n";
      ADD_FAILURE() << "the exchange failed:\n" << lines;
      return json();
    }
    EXPECT_EQ(name(result->Code()), std::string(name(code))) << result->Message();
    return result->Payload();
  }

  json ok(const std::function<void(Velmora&, ResultCompletion)>& op, Velmora* who = nullptr) {
    return expect(ResultCode::Success, op, who);
  }

  std::int64_t credit(Velmora* who = nullptr) {
    return ok([](Velmora& c, ResultCompletion d) { c.GetCredit(std::move(d)); }, who)
        .get<std::int64_t>();
  }

  json send(const std::string& from, const std::vector<std::string>& mobiles,
            const std::string& text = "hello", std::int64_t at = 0, const std::string& group = "") {
    return ok([&](Velmora& c, ResultCompletion d) {
      c.SendMessage(from, text, mobiles, group, at, std::move(d));
    });
  }

  std::vector<std::int64_t> groupStates(const std::string& groupId) {
    std::vector<std::int64_t> states;
    const json list =
        ok([&](Velmora& c, ResultCompletion d) { c.GroupMessageStatus(groupId, std::move(d)); });
    for (const json& entry : list) states.push_back(entry["Status"].get<std::int64_t>());
    return states;
  }

  test::LineCapture capture_;  // keeps the library's lines off the test's output
  std::shared_ptr<std::atomic<std::int64_t>> clockMs_;
  test::SandboxLog log_;
  tools::CertificateFiles cert_ = tools::makeSelfSignedCertificate();
  std::unique_ptr<sandbox::Sandbox> box_ = start(config());
  Velmora client{"demo", "demo", options()};
};

std::int64_t raw(StatusCode s) {
  return rawValue(s);
}

TEST_F(SandboxTest, SendsAnswerIdsAndChargeEachRecipientPerPart) {
  const json first = send("3000", {kMobile, "+989121234568"});
  EXPECT_EQ(first["Cost"], 200);
  EXPECT_EQ(first["Credit"], 99800);
  ASSERT_EQ(first["MessageIds"].size(), 2u);
  EXPECT_NE(first["MessageIds"][0], first["MessageIds"][1]);
  EXPECT_NE(first["GroupMessageId"], first["MessageIds"][0]);

  // 160 ASCII characters fit one part, 161 take two; 70 other characters fit one, 71 take two.
  EXPECT_EQ(send("3000", {kMobile}, std::string(160, 'a'))["Cost"], 100);
  EXPECT_EQ(send("3000", {kMobile}, std::string(161, 'a'))["Cost"], 200);
  std::string persian70;
  for (int i = 0; i < 70; ++i) persian70 += "\xd8\xb3";  // the letter seen, two bytes
  EXPECT_EQ(send("3000", {kMobile}, persian70)["Cost"], 120);
  EXPECT_EQ(send("3000", {kMobile}, persian70 + "\xd8\xb3")["Cost"], 240);

  const json each = ok([](Velmora& c, ResultCompletion d) {
    c.SendCorrespondingMessage("3000", {to(kMobile, "a", "x"), to("09121234568", "b", "y")}, "",
                               std::move(d));
  });
  EXPECT_EQ(each["MessageIds"].size(), 2u);
  const json port = ok([](Velmora& c, ResultCompletion d) {
    c.SendMessageToPort("3001", 10, 20, "", {to(kMobile, "a")}, std::move(d));
  });
  EXPECT_EQ(port["Cost"], 100);
  EXPECT_EQ(credit(), 100000 - 200 - 100 - 200 - 120 - 240 - 200 - 100);
}

TEST_F(SandboxTest, DeliveryStatesAdvanceWithTheClock) {
  const json sent = send("3000", {kMobile, "09121110000", "09121119999"});
  const std::string group = sent["GroupMessageId"];
  const json later = send("3000", {kMobile}, "later", nowSeconds() + 3600);

  const std::int64_t queued = raw(StatusCode::InQueue);
  EXPECT_EQ(groupStates(group), (std::vector<std::int64_t>{queued, queued, queued}));
  advance(kStep);
  EXPECT_EQ(groupStates(group), (std::vector<std::int64_t>{raw(StatusCode::InTelecommunication),
                                                           raw(StatusCode::Filtered),
                                                           raw(StatusCode::InTelecommunication)}));
  advance(kStep);
  EXPECT_EQ(groupStates(group),
            (std::vector<std::int64_t>{raw(StatusCode::Sended), raw(StatusCode::Filtered),
                                       raw(StatusCode::NotInTelecommunication)}));
  // A scheduled send waits in the queue until its time has come.
  EXPECT_EQ(groupStates(later["GroupMessageId"]), (std::vector<std::int64_t>{queued}));

  const std::string first = sent["MessageIds"][0];
  const json states = ok([&](Velmora& c, ResultCompletion d) {
    c.CorrespondingMessageStatus({first, "999999", "not-an-id"}, std::move(d));
  });
  ASSERT_EQ(states.size(), 3u);
  EXPECT_EQ(states[0], json({{"MessageId", first}, {"Mobile", kMobile}, {"Status", 1}}));
  EXPECT_EQ(states[1]["Status"], raw(StatusCode::Unknown));
  EXPECT_EQ(states[2]["Status"], raw(StatusCode::Unknown));
}

TEST_F(SandboxTest, MessagesToOwnLinesLandInTheirInboxPageByPage) {
  const std::int64_t start = nowSeconds();
  for (const char* text : {"one", "two", "three"}) {
    send("3000", {"3001", kMobile}, text);
    advance(1s);
  }
  send("3000", {"3001"}, "not yet", nowSeconds() + 60);
  const auto page = [&](const std::string& line, std::int64_t from, std::int64_t n) {
    return ok([&](Velmora& c, ResultCompletion d) {
      c.ReceiveMessages(line, from, start + 1000, n, std::move(d));
    });
  };
  const json first = page("3001", start, 1);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0], json({{"MsgBody", "one"}, {"Mobile", "3000"}, {"Dates", start}}));
  EXPECT_EQ(first[1]["MsgBody"], "two");
  ASSERT_EQ(page("3001", start, 2).size(), 1u);
  EXPECT_EQ(page("3001", start, 2)[0]["MsgBody"], "three");
  EXPECT_TRUE(page("3001", start, 3).empty());
  // The start of the range leaves out what came before it.
  EXPECT_EQ(page("3001", start + 1, 1)[0]["MsgBody"], "two");
  EXPECT_TRUE(page("3000", start, 1).empty());
  // The scheduled message arrives at its time.
  advance(60s);
  EXPECT_EQ(page("3001", start, 2)[1]["MsgBody"], "not yet");
}

TEST_F(SandboxTest, AccountOperationsAndGroupLookups) {
  const json prices = ok([](Velmora& c, ResultCompletion d) { c.GetPrices(std::move(d)); });
  EXPECT_EQ(prices["AsciiPartPrice"], 100);
  EXPECT_EQ(prices["UnicodePartPrice"], 120);
  EXPECT_EQ(prices["MaxParts"], 8);

  const json listed = ok([](Velmora& c, ResultCompletion d) {
    c.ShowWhiteList({"09120000001", "09120000002"}, std::move(d));
  });
  EXPECT_EQ(listed, json::parse(R"([{"Mobile":"09120000001","InWhiteList":true},
                                     {"Mobile":"09120000002","InWhiteList":false}])"));

  send("3000", {kMobile}, "a", 0, "news");
  const json second = send("3000", {kMobile}, "b", 0, "news");
  // The latest send under a label is the one found.
  EXPECT_EQ(ok([](Velmora& c, ResultCompletion d) { c.GetGroupMessageId("news", std::move(d)); }),
            second["GroupMessageId"]);
  expect(ResultCode::GroupError,
         [](Velmora& c, ResultCompletion d) { c.GetGroupMessageId("other", std::move(d)); });
}

TEST_F(SandboxTest, RefusalsCarryTheServiceCodesAndChangeNothing) {
  Velmora wrongPassword("demo", "nope", options());
  Velmora stranger("nobody", "demo", options());
  for (Velmora* c : {&wrongPassword, &stranger}) {
    expect(
        ResultCode::UserError, [](Velmora& v, ResultCompletion d) { v.GetCredit(std::move(d)); },
        c);
  }
  struct Case {
    ResultCode code;
    std::function<void(Velmora&, ResultCompletion)> op;
  };
  const std::vector<Case> cases{
      {ResultCode::NumberError,
       [](Velmora& c, ResultCompletion d) {
         c.SendMessage("3000", "x", {kMobile, "12ab"}, "", 0, std::move(d));
       }},
      {ResultCode::NumberError,
       [](Velmora& c, ResultCompletion d) { c.ShowWhiteList({"0912"}, std::move(d)); }},
      {ResultCode::MessageLengthError,
       [](Velmora& c, ResultCompletion d) {
         c.SendMessage("3000", "", {kMobile}, "", 0, std::move(d));
       }},
      {ResultCode::MessageLengthError,  // nine parts
       [](Velmora& c, ResultCompletion d) {
         c.SendMessage("3000", std::string(8 * 153 + 1, 'a'), {kMobile}, "", 0, std::move(d));
       }},
      {ResultCode::OwnNumberError,
       [](Velmora& c, ResultCompletion d) {
         c.SendMessage("4000", "x", {kMobile}, "", 0, std::move(d));
       }},
      {ResultCode::UserListError,
       [](Velmora& c, ResultCompletion d) { c.SendMessage("3000", "x", {}, "", 0, std::move(d)); }},
      {ResultCode::DateError,
       [](Velmora& c, ResultCompletion d) {
         c.SendMessage("3000", "x", {kMobile}, "", -1, std::move(d));
       }},
      {ResultCode::PortError,
       [](Velmora& c, ResultCompletion d) {
         c.SendMessageToPort("3000", 70000, 1, "", {to(kMobile, "x")}, std::move(d));
       }},
      {ResultCode::DateRangeError,
       [](Velmora& c, ResultCompletion d) { c.ReceiveMessages("3000", 10, 9, 1, std::move(d)); }},
      {ResultCode::PageError,
       [](Velmora& c, ResultCompletion d) { c.ReceiveMessages("3000", 0, 9, 0, std::move(d)); }},
      {ResultCode::GroupError,
       [](Velmora& c, ResultCompletion d) { c.GroupMessageStatus("1", std::move(d)); }},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    const json payload = expect(cases[i].code, cases[i].op);
    EXPECT_TRUE(payload.is_null());
  }
  EXPECT_EQ(credit(), 100000);

  // Credit is charged per recipient: two cost more than the poor account has, one does not.
  Velmora poor("poor", "poor:word", options());
  expect(
      ResultCode::CreditError,
      [](Velmora& c, ResultCompletion d) {
        c.SendMessage("3000", "x", {kMobile, kMobile}, "", 0, std::move(d));
      },
      &poor);
  EXPECT_EQ(credit(&poor), 150);
  ok([](Velmora& c,
        ResultCompletion d) { c.SendMessage("3000", "x", {kMobile}, "", 0, std::move(d)); },
     &poor);
  EXPECT_EQ(credit(&poor), 50);

  // Another account's group is not found.
  const std::string group = send("3000", {kMobile})["GroupMessageId"];
  expect(
      ResultCode::GroupError,
      [&](Velmora& c, ResultCompletion d) { c.GroupMessageStatus(group, std::move(d)); }, &poor);
}

TEST_F(SandboxTest, MalformedBodiesAreDocOrParamErrors) {
  const auto post = [&](const char* op, const std::string& body) {
    return run([&](Velmora& c, ResultCompletion d) {
      detail::ClientAccess::callAPI(c, options(), op, body, std::move(d));
    });
  };
  struct Case {
    const char* op;
    std::string body;
    ResultCode code;
  };
  const std::vector<Case> cases{
      {"SendMessage", "{", ResultCode::DocError},
      {"SendMessage", "[1]", ResultCode::DocError},
      {"SendMessage", "", ResultCode::DocError},
      {"GroupMessageStatus", "{\"GroupMessageId\": 7}", ResultCode::ParamError},
      {"GroupMessageStatus", "{\"groupmessageid\": \"7\"}", ResultCode::ParamError},
      {"SendMessage",
       R"({"PhoneNumber":"3000","Message":"x","Mobiles":"0912","UserGroupID":"","SendDateInTimeStamp":0})",
       ResultCode::ParamError},
      {"SendMessage",
       R"({"PhoneNumber":"3000","Message":"x","Mobiles":[],"UserGroupID":"","SendDateInTimeStamp":"0"})",
       ResultCode::ParamError},
      {"SendMessage",
       R"({"PhoneNumber":"3000","Message":"x","Mobiles":[],"UserGroupID":"","SendDateInTimeStamp":1e3})",
       ResultCode::ParamError},
      {"SendCorrespondingMessage",
       R"({"PhoneNumber":"3000","RecipientsMessage":[{"message":"x","mobile":"09121234567"}],"UserGroupID":""})",
       ResultCode::ParamError},
      {"ReceiveMessages",
       R"({"PhoneNumber":"3000","StartDate":0,"EndDate":18446744073709551615,"Page":1})",
       ResultCode::ParamError},
      {"CorrespondingMessageStatus", "{\r\n\"messageId\":\r\n[]\r\n}", ResultCode::Success},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.op) + " " + c.body);
    const std::shared_ptr<Result> result = post(c.op, c.body);
    ASSERT_TRUE(result);
    EXPECT_EQ(name(result->Code()), std::string(name(c.code))) << result->Message();
  }
  EXPECT_EQ(credit(), 100000);
}

TEST_F(SandboxTest, HttpErrorsSurviveAndReachTheCallerAsAbsentValues) {
  EXPECT_EQ(run([this](Velmora& c, ResultCompletion d) {
              detail::ClientAccess::callAPI(c, options(), "Nope", "{}", std::move(d));
            }),
            nullptr);
  EXPECT_EQ(run([](Velmora& c, ResultCompletion d) {
              c.ShowWhiteList(std::vector<std::string>(30000, kMobile), std::move(d));
            }),
            nullptr);  // beyond the body limit

  httplib::Client soap("127.0.0.1", box_->soapPort());
  const auto got = soap.Get("/fastsend.asmx");
  ASSERT_TRUE(got);
  EXPECT_EQ(got->status, 405);
  EXPECT_EQ(soap.Post("/elsewhere", "<x/>", "text/xml")->status, 404);

  // Still serving, and one log line per request so far.
  EXPECT_EQ(credit(), 100000);
  // The REST and SOAP servers log independently, so the lines are looked up, not indexed.
  const auto lines = log_.waitForLines(5);
  EXPECT_EQ(lines.size(), 5u);
  for (const char* expected :
       {"REST POST /api/smsAPI/Nope 404", "REST POST /api/smsAPI/ShowWhiteList 413",
        "SOAP GET /fastsend.asmx 405", "SOAP POST /elsewhere 404",
        "REST POST /api/smsAPI/GetCredit 200 demo: OK"}) {
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find(expected) != std::string::npos;
    })) << expected;
  }
}

TEST_F(SandboxTest, LogLinesEscapeWhatClientsSent) {
  // Each field a client controls tries to forge a second line and to reach the terminal.
  const std::string forged = "eve\nREST POST /api/smsAPI/GetCredit 200 demo OK";
  Velmora eve(forged + "\x1b[2J\\", "wrong", options());
  const struct {
    const char* field;
    std::function<void()> request;
    const char* escaped;
  } cases[] = {
      {"Basic user",
       [&] { run([](Velmora& c, ResultCompletion d) { c.GetCredit(std::move(d)); }, &eve); },
       "eve\\nREST POST /api/smsAPI/GetCredit 200 demo OK\\x1b[2J\\\\: 2002"},
      {"SOAP user",
       [&] {
         Velmora soapEve(forged, "wrong", options());
         await<std::optional<std::int64_t>>(
             [&](NumberCompletion d) { soapEve.AutoSendCode(kMobile, "", std::move(d)); });
       },
       "AutoSendCode eve\\nREST POST"},
      {"path",
       [&] {
         httplib::Client(box_->soapUrl().substr(0, box_->soapUrl().rfind('/'))).Get("/a%0Ab%7F");
       },
       "SOAP GET /a\\nb\\x7f 404"},
  };
  for (const auto& c : cases) {
    log_.clear();
    c.request();
    const auto lines = log_.waitForLines(1);
    ASSERT_EQ(lines.size(), 1u) << c.field;
    EXPECT_NE(lines[0].find(c.escaped), std::string::npos) << c.field << ": " << lines[0];
    EXPECT_TRUE(std::none_of(lines[0].begin(), lines[0].end(), [](char ch) {
      return static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f;
    })) << c.field;
  }
}

// A loopback listener of another program that, like httplib's defaults, shares its port with
// SO_REUSEPORT. Closed on destruction.
struct SharingListener {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int port = 0;
  SharingListener() {
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    listen(fd, 4);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  ~SharingListener() { close(fd); }
};

TEST_F(SandboxTest, RefusesAPortThatAnotherListenerHolds) {
  SharingListener other;
  const struct {
    const char* holder;
    bool rest;
    int port;
  } cases[] = {{"this sandbox", true, box_->restPort()},
               {"this sandbox", false, box_->soapPort()},
               {"a listener with SO_REUSEPORT", true, other.port}};
  for (const auto& c : cases) {
    sandbox::SandboxOptions o;
    o.service = config();
    o.certFile = cert_.certFile;
    o.keyFile = cert_.keyFile;
    (c.rest ? o.restPort : o.soapPort) = c.port;
    try {
      sandbox::Sandbox second(std::move(o));
      ADD_FAILURE() << "a second sandbox shares port " << c.port << " with " << c.holder;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("127.0.0.1:" + std::to_string(c.port)),
                std::string::npos)
          << e.what();
    }
  }
  EXPECT_EQ(credit(), 100000);  // the first one still serves
}

TEST_F(SandboxTest, VerificationCodesAreSentCheckedOnceAndCharged) {
  const auto autoSend = [&](Velmora& c, const std::string& number, const std::string& footer) {
    return await<std::optional<std::int64_t>>(
        [&](NumberCompletion d) { c.AutoSendCode(number, footer, std::move(d)); });
  };
  const auto withCode = [&](Velmora& c, const std::string& number, const std::string& code) {
    return await<std::optional<std::int64_t>>(
        [&](NumberCompletion d) { c.SendMessageWithCode(number, code, std::move(d)); });
  };
  const auto check = [&](Velmora& c, const std::string& number, const std::string& code) {
    return await<std::optional<bool>>(
        [&](TruthCompletion d) { c.CheckSendCode(number, code, std::move(d)); });
  };

  const auto id = autoSend(client, kMobile, "Velmora & co <test>");
  ASSERT_TRUE(id);
  EXPECT_GT(*id, 0);
  const std::string code = log_.codeSentTo(kMobile, 1);
  ASSERT_EQ(code.size(), 5u);
  EXPECT_EQ(check(client, kMobile, "00000"), false);
  EXPECT_EQ(check(client, "09121234568", code), false);  // another number
  EXPECT_EQ(check(client, kMobile, code), true);
  EXPECT_EQ(check(client, kMobile, code), false);  // a code is good once
  EXPECT_EQ(credit(), 100000 - 100);
  // The code message is an ordinary message with its delivery state.
  const json state = ok([&](Velmora& c, ResultCompletion d) {
    c.CorrespondingMessageStatus({std::to_string(*id)}, std::move(d));
  });
  EXPECT_EQ(state[0]["Status"], raw(StatusCode::InQueue));

  // A code of the caller's own; wrong checks void it after the fifth.
  EXPECT_GT(withCode(client, kMobile, "4321").value_or(-1), 0);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(check(client, kMobile, "1234"), false);
  EXPECT_EQ(check(client, kMobile, "4321"), false);
  // A code expires.
  EXPECT_GT(withCode(client, kMobile, "4321").value_or(-1), 0);
  advance(301s);
  EXPECT_EQ(check(client, kMobile, "4321"), false);

  // Refusals come back as negative codes, or as false for a check.
  Velmora wrong("demo", "nope", options());
  EXPECT_EQ(autoSend(wrong, kMobile, ""), -2002);
  EXPECT_EQ(withCode(client, "0912", "4321"), -1002);
  EXPECT_EQ(withCode(client, kMobile, "12"), -1004);
  EXPECT_EQ(autoSend(client, kMobile, std::string(8 * 153, 'a')), -2006);
  Velmora poor("poor", "poor:word", options());
  EXPECT_GT(autoSend(poor, kMobile, "").value_or(-1), 0);
  EXPECT_EQ(autoSend(poor, kMobile, ""), -3003);
  EXPECT_EQ(check(wrong, kMobile, "4321"), false);
}

TEST_F(SandboxTest, TheSameSeedGivesTheSameCodes) {
  const auto firstCode = [&](std::optional<std::uint64_t> seed) {
    sandbox::ServiceConfig c = config();
    c.seed = seed;
    box_ = start(std::move(c));
    log_.clear();
    Velmora fresh("demo", "demo", options());
    await<std::optional<std::int64_t>>(
        [&](NumberCompletion d) { fresh.AutoSendCode(kMobile, "", std::move(d)); });
    return log_.codeSentTo(kMobile, 1);
  };
  const std::string a = firstCode(7);
  EXPECT_EQ(firstCode(7), a);
  EXPECT_NE(firstCode(8), a);
}

TEST_F(SandboxTest, BadSoapRequestsGetFaults) {
  httplib::Client soap("127.0.0.1", box_->soapPort());
  const auto envelope = [](const std::string& inner) {
    return "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Body>" + inner +
           "</s:Body></s:Envelope>";
  };
  const std::string good =
      "<CheckSendCode xmlns=\"http://velmora.test/\"><Username>demo</Username><Password>demo"
      "</Password><ReciptionNumber>09121234567</ReciptionNumber><Code>1</Code></CheckSendCode>";
  struct Case {
    std::string body;
    std::string action;
    int status;
  };
  const std::vector<Case> cases{
      {envelope(good), "http://velmora.test/CheckSendCode", 200},
      {envelope(good), "\"http://velmora.test/CheckSendCode\"", 200},
      {envelope(good), "http://velmora.test/AutoSendCode", 400},
      {envelope(good.substr(0, good.size() - 5)), "", 400},  // not well-formed
      {"<!DOCTYPE x [<!ENTITY a \"b\">]>" + envelope(good), "", 400},
      {envelope("<CheckSendCode xmlns=\"urn:other\"/>"), "", 400},
      {envelope("<CheckSendCode xmlns=\"http://velmora.test/\"><Username>demo</Username>"
                "</CheckSendCode>"),
       "", 400},
      {envelope("<CheckSendCode xmlns=\"http://velmora.test/\"><Username><b/></Username>"
                "</CheckSendCode>"),
       "", 400},
      {"<Envelope/>", "", 400},
      {"", "", 400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const auto res = soap.Post("/fastsend.asmx", {{"SOAPAction", c.action}}, c.body, "text/xml");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status);
    const std::string expected = c.status == 200 ? "CheckSendCodeResult>false<" : "soap:Sender";
    EXPECT_NE(res->body.find(expected), std::string::npos) << res->body;
  }
  // The library sees a fault as a failed exchange.
  Options o = options();
  o.soapNamespace = "urn:other/";
  Velmora misdirected("demo", "demo", o);
  EXPECT_EQ(await<std::optional<bool>>(
                [&](TruthCompletion d) { misdirected.CheckSendCode(kMobile, "1", std::move(d)); }),
            std::nullopt);
}

TEST_F(SandboxTest, ConcurrentSendsNeverSpendMoreThanTheCredit) {
  sandbox::ServiceConfig c = config();
  c.accounts = {{"demo", "demo", 3000}};
  box_ = start(std::move(c));
  Velmora fresh("demo", "demo", options());
  constexpr int kSends = 40;
  std::vector<ResultFuture> futures;
  for (int i = 0; i < kSends; ++i) {
    futures.push_back(toFuture<std::shared_ptr<Result>>([&](ResultCompletion d) {
      fresh.SendMessage("3000", "x", {kMobile}, "", 0, std::move(d));
    }));
  }
  int sent = 0;
  int refused = 0;
  for (ResultFuture& f : futures) {
    ASSERT_EQ(f.wait_for(30s), std::future_status::ready);
    const auto result = f.get();
    ASSERT_TRUE(result);
    if (result->Code() == ResultCode::Success) {
      ++sent;
    } else {
      EXPECT_EQ(result->Code(), ResultCode::CreditError);
      ++refused;
    }
  }
  EXPECT_EQ(sent, 30);
  EXPECT_EQ(refused, 10);
  EXPECT_EQ(credit(&fresh), 0);
}

TEST(SandboxAccounts, ParseUserPasswordAndCredit) {
  const auto a = sandbox::parseAccount("ann:pa:ss:250");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->user, "ann");
  EXPECT_EQ(a->password, "pa:ss");
  EXPECT_EQ(a->credit, 250);
  EXPECT_EQ(sandbox::parseAccount("ann::0")->password, "");
  for (const char* bad : {"ann:250", ":pw:1", "ann:pw:", "ann:pw:-1", "ann:pw:1x", "ann"}) {
    EXPECT_FALSE(sandbox::parseAccount(bad)) << bad;
  }
}

TEST(SandboxSoap, ReadsTheOperationPastAHeader) {
  const auto parsed = sandbox::parseSoapRequest(
      "<e:Envelope xmlns:e=\"http://www.w3.org/2003/05/soap-envelope\"><e:Header><x>1</x>"
      "</e:Header><e:Body><Op xmlns=\"urn:n/\"><A>a&amp;b</A><B/></Op></e:Body></e:Envelope>");
  const auto* request = std::get_if<sandbox::SoapRequest>(&parsed);
  ASSERT_NE(request, nullptr) << std::get<std::string>(parsed);
  EXPECT_EQ(request->operation, "Op");
  EXPECT_EQ(request->operationNamespace, "urn:n/");
  EXPECT_EQ(request->fields, (std::map<std::string, std::string>{{"A", "a&b"}, {"B", ""}}));
  // A compact answer, so that all of its character data is exactly the value.
  EXPECT_NE(
      sandbox::soapResponse("urn:n/", "Op", "12").find("<OpResult>12</OpResult></OpResponse>"),
      std::string::npos);
}

}  // namespace
}  // namespace velmora
