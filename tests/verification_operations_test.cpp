#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "soap_envelope.hpp"
#include "support/loopback_server.hpp"
#include "transport/session.hpp"
#include "transport/soap_call.hpp"
#include "velmora/client.hpp"

namespace velmora {
namespace {

using detail::readDecimal;
using detail::readTruth;
using detail::trimXmlSpace;
using test::LineCapture;
using test::LoopbackServer;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

TEST(DecimalRule, AcceptsSignedAsciiDigitsAcrossTheWholeRange) {
  EXPECT_EQ(readDecimal("42"), 42);
  EXPECT_EQ(readDecimal("+42"), 42);
  EXPECT_EQ(readDecimal("-42"), -42);
  EXPECT_EQ(readDecimal("007"), 7);
  EXPECT_EQ(readDecimal("-0"), 0);
  EXPECT_EQ(readDecimal("9223372036854775807"), kMax);
  EXPECT_EQ(readDecimal("+0009223372036854775807"), kMax);
  EXPECT_EQ(readDecimal("-9223372036854775808"), kMin);
}

TEST(DecimalRule, RefusesEverythingElse) {
  // The last three are 42 in Arabic-Indic, Persian and full-width digits.
  for (const char* text : {"",
                           "+",
                           "-",
                           "+-5",
                           "-+5",
                           "--5",
                           "4 2",
                           " 42",
                           "42\n",
                           "42.0",
                           "0x2A",
                           "1e3",
                           "42abc",
                           "1,000",
                           "9223372036854775808",
                           "-9223372036854775809",
                           "99999999999999999999",
                           "\xd9\xa4\xd9\xa2",
                           "\xdb\xb4\xdb\xb2",
                           "\xef\xbc\x94\xef\xbc\x92"}) {
    EXPECT_EQ(readDecimal(text), std::nullopt) << '"' << text << '"';
  }
}

TEST(TruthRule, IsExactAndCaseSensitive) {
  EXPECT_EQ(readTruth("true"), true);
  EXPECT_EQ(readTruth("false"), false);
  for (const char* text : {"", "True", "TRUE", "False", "1", "0", " true", "true\n", "yes"}) {
    EXPECT_EQ(readTruth(text), std::nullopt) << text;
  }
}

TEST(TrimXmlSpace, RemovesOnlyXmlWhiteSpaceAtBothEnds) {
  EXPECT_EQ(trimXmlSpace(" \t\r\n4 2 \n"), "4 2");
  EXPECT_EQ(trimXmlSpace(" \n\t "), "");
  // Vertical tab and no-break space are not XML white space.
  EXPECT_EQ(trimXmlSpace("\v42\xc2\xa0"), "\v42\xc2\xa0");
}

// The envelope as the service expects it, written out in full; $1 to $6 are the operation, the
// user name, the password, the number, the last element's tag and its value.
std::string expectedEnvelope(std::vector<std::string> values) {
  std::string text = R"(<soap12:Envelope xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" )"
                     R"(xmlns:xsd="http://www.w3.org/2001/XMLSchema" )"
                     R"(xmlns:soap12="http://www.w3.org/2003/05/soap-envelope">
  <soap12:Body>
    <$1 xmlns="http://velmora.test/">
      <Username>$2</Username>
      <Password>$3</Password>
      <ReciptionNumber>$4</ReciptionNumber>
      <$5>$6</$5>
    </$1>
  </soap12:Body>
</soap12:Envelope>)";
  for (std::size_t at = text.find('$'); at != std::string::npos; at = text.find('$', at)) {
    const std::string& value = values.at(static_cast<std::size_t>(text[at + 1] - '1'));
    text.replace(at, 2, value);
    at += value.size();
  }
  return text;
}

TEST(Envelope, EscapesMarkupInEveryValue) {
  const std::string envelope =
      detail::buildEnvelope({"http://velmora.test/", "CheckSendCode", "u<1>", "p&\"'", "0912",
                             "Code", "</Code><Admin>1</Admin>"});
  EXPECT_EQ(envelope, expectedEnvelope({"CheckSendCode", "u&lt;1&gt;", "p&amp;&quot;&apos;", "0912",
                                        "Code", "&lt;/Code&gt;&lt;Admin&gt;1&lt;/Admin&gt;"}));
}

TEST(SoapAnswer, OnlyA2xxStatusHandsOverTheBody) {
  LineCapture capture;
  const auto answerFor = [](long status) {
    detail::HttpResponse response;
    response.status = status;
    response.description = "HTTP/1.1 " + std::to_string(status);
    response.body = "<r>1</r>";
    return detail::xmlAnswerFromResponse(response);
  };
  EXPECT_EQ(answerFor(199), nullptr);
  ASSERT_NE(answerFor(200), nullptr);
  const auto last = answerFor(299);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->body(), "<r>1</r>");
  EXPECT_EQ(answerFor(300), nullptr);
  EXPECT_EQ(capture.lines(),
            (std::vector<std::string>{
                "statusCode should be 2xx, but is 199", "response = HTTP/1.1 199",
                "Body: Optional(<r>1</r>)", "Body: Optional(<r>1</r>)",
                "statusCode should be 2xx, but is 300", "response = HTTP/1.1 300"}));

  capture.clear();
  detail::HttpResponse failed;
  failed.failed = true;
  EXPECT_EQ(detail::xmlAnswerFromResponse(failed), nullptr);
  failed.error = "Timeout was reached";
  EXPECT_EQ(detail::xmlAnswerFromResponse(failed), nullptr);
  EXPECT_EQ(capture.lines(),
            (std::vector<std::string>{"error Unknown error", "error Timeout was reached"}));
}

// Runs one operation against the loopback server and waits for its single completion.
class Verification : public ::testing::Test {
 protected:
  template <typename Value>
  struct Call {
    std::optional<Value> value;
    bool onSessionThread = false;
  };

  template <typename Value, typename Start>
  Call<Value> run(Start start) {
    struct Shared {
      test::Latch latch{1};
      std::atomic<int> calls{0};
      Call<Value> call;
    };
    auto shared = std::make_shared<Shared>();
    start([shared](std::optional<Value> value) {
      shared->call = {value, detail::Session::shared().onSessionThread()};
      ++shared->calls;
      shared->latch.done();
    });
    EXPECT_TRUE(shared->latch.wait());
    // A second completion would arrive on the same thread right after the first.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(shared->calls.load(), 1);
    return shared->call;
  }

  std::optional<std::int64_t> autoSend(const std::string& phone, const std::string& footer) {
    return run<std::int64_t>(
               [&](NumberCompletion done) { client->AutoSendCode(phone, footer, std::move(done)); })
        .value;
  }
  std::optional<std::int64_t> sendWithCode(const std::string& number, const std::string& code) {
    return run<std::int64_t>([&](NumberCompletion done) {
             client->SendMessageWithCode(number, code, std::move(done));
           })
        .value;
  }
  std::optional<bool> check(const std::string& number, const std::string& code) {
    return run<bool>(
               [&](TruthCompletion done) { client->CheckSendCode(number, code, std::move(done)); })
        .value;
  }

  void answer(std::string body, int status = 200) {
    server.answer(status, std::move(body), "text/xml; charset=utf-8");
  }
  // The value both number operations read from `body`; they must agree.
  std::optional<std::int64_t> numberFrom(std::string body) {
    answer(std::move(body));
    const auto first = autoSend("0912", "f");
    EXPECT_EQ(sendWithCode("0912", "1"), first);
    return first;
  }
  std::optional<bool> truthFrom(std::string body) {
    answer(std::move(body));
    return check("0912", "1");
  }
  bool printed(const std::string& line) const { return capture.count(line) != 0; }
  bool printedStarting(const std::string& prefix) const {
    const auto lines = capture.lines();
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  }

  LoopbackServer server{LoopbackServer::Scheme::Http};
  LineCapture capture;
  std::unique_ptr<Velmora> client = std::make_unique<Velmora>("user", "p&ss<1>", server.options());
};

TEST_F(Verification, SendsTheEnvelopesAndHeadersOfAllThreeOperations) {
  answer("<r>1</r>");
  autoSend("09120000000", "");
  check("09121111111", "1234");
  sendWithCode("09122222222", "5678\t\r\n");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);

  // Operation, number and the last element, as sent; the password's markup goes escaped, and so
  // does the carriage return, which an XML reader would otherwise turn into a line feed.
  const std::vector<std::string> sent[] = {
      {"AutoSendCode", "09120000000", "Footer", ""},
      {"CheckSendCode", "09121111111", "Code", "1234"},
      {"SendMessageWithCode", "09122222222", "Code", "5678\t&#13;\n"},
  };
  for (std::size_t i = 0; i < 3; ++i) {
    const std::string& operation = sent[i][0];
    SCOPED_TRACE(operation);
    const auto& r = requests[i];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.path, "/fastsend.asmx");
    EXPECT_EQ(r.body, expectedEnvelope({operation, "user", "p&amp;ss&lt;1&gt;", sent[i][1],
                                        sent[i][2], sent[i][3]}));
    EXPECT_EQ(r.header("Content-Type"), "text/xml; charset=utf-8");
    EXPECT_EQ(r.header("SOAPAction"), "http://velmora.test/" + operation);
    EXPECT_FALSE(r.hasHeader("Authorization"));
  }
  // The envelope is never printed.
  for (const std::string& line : capture.lines()) {
    EXPECT_EQ(line.find("Envelope"), std::string::npos) << line;
  }
}

TEST_F(Verification, ReadsNumbersAndTruthValuesFromTheAnswerText) {
  EXPECT_EQ(numberFrom("<r>42</r>"), 42);
  EXPECT_TRUE(printed("Body: Optional(<r>42</r>)"));
  EXPECT_TRUE(printed("found text: 42"));
  EXPECT_EQ(numberFrom("<r>-9223372036854775808</r>"), kMin);
  EXPECT_EQ(numberFrom("<r>+0009223372036854775807</r>"), kMax);
  EXPECT_EQ(numberFrom("<r>9223372036854775808</r>"), std::nullopt);
  EXPECT_EQ(numberFrom("<r>4 2</r>"), std::nullopt);
  EXPECT_EQ(numberFrom("<r>\xdb\xb4\xdb\xb2</r>"), std::nullopt);
  // Character references deliver the digits in separate chunks.
  EXPECT_EQ(numberFrom("<r>4&#50;</r>"), 42);

  EXPECT_EQ(truthFrom("<r>true</r>"), true);
  EXPECT_EQ(truthFrom("<r>false</r>"), false);
  EXPECT_EQ(truthFrom("<r>True</r>"), std::nullopt);
  EXPECT_EQ(truthFrom("<r>1</r>"), std::nullopt);
}

TEST_F(Verification, ReadsAnIndentedSoapAnswer) {
  const std::string answerOf = R"(<?xml version="1.0" encoding="utf-8"?>
<soap12:Envelope xmlns:soap12="http://www.w3.org/2003/05/soap-envelope">
  <soap12:Body>
    <Response xmlns="http://velmora.test/">
      <Result>VALUE</Result>
    </Response>
  </soap12:Body>
</soap12:Envelope>)";
  const auto with = [&](const std::string& value) {
    std::string body = answerOf;
    return body.replace(body.find("VALUE"), 5, value);
  };
  EXPECT_EQ(numberFrom(with("4213")), 4213);
  EXPECT_EQ(truthFrom(with("true")), true);
  // The printed text keeps the white space that was read past.
  EXPECT_TRUE(printed("found text: \n  \n    \n      true\n    \n  \n"));
  EXPECT_EQ(numberFrom(with("42 13")), std::nullopt);
}

TEST_F(Verification, AnswerWithoutTextPrintsEntitiesAndGivesFalseOnlyForCheck) {
  const std::string noText = "<!DOCTYPE r [<!ENTITY b 'two'><!ENTITY a 'one'>]><r><x/></r>";
  EXPECT_EQ(numberFrom(noText), std::nullopt);
  EXPECT_EQ(truthFrom(noText), false);
  EXPECT_EQ(capture.count("a: one"), 3u);
  EXPECT_EQ(capture.count("b: two"), 3u);
  EXPECT_FALSE(printedStarting("found text"));

  // Text inside CDATA is not collected.
  EXPECT_EQ(numberFrom("<r><![CDATA[42]]></r>"), std::nullopt);
  EXPECT_EQ(truthFrom("<r><![CDATA[true]]></r>"), false);
}

TEST_F(Verification, MalformedAnswersAreNoAnswer) {
  for (const char* body : {"", "<r>4213", "<r>42</r><r>"}) {
    SCOPED_TRACE(body);
    capture.clear();
    EXPECT_EQ(numberFrom(body), std::nullopt);
    EXPECT_TRUE(printedStarting("answer is not well-formed XML: "));
    EXPECT_FALSE(printedStarting("found text"));
  }
  EXPECT_EQ(truthFrom("<r>true"), std::nullopt);
  EXPECT_EQ(truthFrom(""), std::nullopt);
  EXPECT_TRUE(printedStarting("answer is not well-formed XML: no element found at line 1"));
}

TEST_F(Verification, OnlyTwoHundredsHandOverTheAnswer) {
  for (int status : {200, 299}) {
    answer("<r>7</r>", status);
    EXPECT_EQ(autoSend("0912", "f"), 7) << status;
  }
  for (int status : {300, 404, 500}) {
    SCOPED_TRACE(status);
    capture.clear();
    answer("<r>7</r>", status);
    EXPECT_EQ(autoSend("0912", "f"), std::nullopt);
    EXPECT_EQ(check("0912", "1"), std::nullopt);
    EXPECT_EQ(capture.count("statusCode should be 2xx, but is " + std::to_string(status)), 2u);
    EXPECT_TRUE(printedStarting("response = "));
    EXPECT_FALSE(printedStarting("Body: "));
  }
}

TEST_F(Verification, BodyThatIsNotUtf8IsPrintedAsNilAndStillParsed) {
  EXPECT_EQ(truthFrom("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>true</r><!-- \xe9 -->"),
            true);
  EXPECT_TRUE(printed("Body: nil"));
}

TEST_F(Verification, TransportFailureCompletesOnceWithNothing) {
  Options unreachable = server.options();
  {
    LoopbackServer closed(LoopbackServer::Scheme::Http);
    unreachable.soapUrl = closed.baseUrl() + "/fastsend.asmx";
  }
  client = std::make_unique<Velmora>("user", "pw", unreachable);
  EXPECT_EQ(autoSend("0912", "f"), std::nullopt);
  EXPECT_EQ(check("0912", "1"), std::nullopt);
  EXPECT_EQ(sendWithCode("0912", "1"), std::nullopt);
  const auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 3u);
  for (const std::string& line : lines) EXPECT_EQ(line.rfind("error ", 0), 0u) << line;
}

TEST_F(Verification, CompletesAfterTheClientIsGone) {
  answer("<r>5</r>");
  const auto call = run<std::int64_t>([&](NumberCompletion done) {
    client->SendMessageWithCode("0912", "1", std::move(done));
    client.reset();
  });
  EXPECT_EQ(call.value, 5);
  EXPECT_TRUE(call.onSessionThread);
}

TEST_F(Verification, ValuesXmlCannotCarrySendNothing) {
  const std::string nul(
      "1\0"
      "2",
      3);
  const auto a = run<std::int64_t>(
      [&](NumberCompletion done) { client->AutoSendCode("0912", nul, std::move(done)); });
  const auto c = run<bool>(
      [&](TruthCompletion done) { client->CheckSendCode("09\xff", "1", std::move(done)); });
  const auto s = run<std::int64_t>([&](NumberCompletion done) {
    client->SendMessageWithCode("0912", "\x1b[1m", std::move(done));
  });
  EXPECT_EQ(a.value, std::nullopt);
  EXPECT_EQ(c.value, std::nullopt);  // not false: nothing was checked
  EXPECT_EQ(s.value, std::nullopt);
  EXPECT_TRUE(a.onSessionThread && c.onSessionThread && s.onSessionThread);

  client = std::make_unique<Velmora>("us\x01r", "pw", server.options());
  EXPECT_EQ(check("0912", "1"), std::nullopt);

  EXPECT_TRUE(server.requests().empty());
  const auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "AutoSendCode: footer holds text that XML cannot carry; nothing was sent");
  EXPECT_EQ(lines[1],
            "CheckSendCode: reciptionNumber holds text that XML cannot carry; nothing was sent");
  EXPECT_EQ(lines[2],
            "SendMessageWithCode: code holds text that XML cannot carry; nothing was sent");
  EXPECT_EQ(lines[3], "CheckSendCode: username holds text that XML cannot carry; nothing was sent");
}

}  // namespace
}  // namespace velmora
