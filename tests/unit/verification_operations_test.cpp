#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include "soap/answer.hpp"
#include "soap/envelope.hpp"
#include "support/scripted_transport.hpp"
#include "velmora/client.hpp"

namespace velmora {
namespace {

using test::Diagnostics;
using test::ScriptedTransport;

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

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

// Runs one operation against the scripted transport and waits for its single completion.
class Verification : public ::testing::Test {
 protected:
  template <typename Value, typename Start>
  test::Completion<std::optional<Value>> run(Start start) {
    const auto done = test::runOnce<std::optional<Value>>(transport, start);
    EXPECT_EQ(done.calls, 1);
    EXPECT_TRUE(done.onCompletionThread);
    EXPECT_TRUE(done.afterTheCallReturned);
    // A completion without a value always has its reason, and one with a value none.
    EXPECT_EQ(done.failure.has_value(), !done.value.has_value());
    return done;
  }

  std::optional<std::int64_t> autoSend(const std::string& phone, const std::string& footer) {
    return run<std::int64_t>([&](NumberCompletion d) { client->AutoSendCode(phone, footer, d); })
        .value;
  }
  std::optional<std::int64_t> sendWithCode(const std::string& number, const std::string& code) {
    return run<std::int64_t>(
               [&](NumberCompletion d) { client->SendMessageWithCode(number, code, d); })
        .value;
  }
  std::optional<bool> check(const std::string& number, const std::string& code) {
    return run<bool>([&](TruthCompletion d) { client->CheckSendCode(number, code, d); }).value;
  }

  void answer(std::string body, int status = 200) { transport.answer(status, std::move(body)); }
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
  std::size_t count(const std::string& line) const {
    const auto lines = printed.lines();
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
  }
  bool printedLine(const std::string& line) const { return count(line) != 0; }
  ScriptedTransport transport;
  Diagnostics printed;
  std::unique_ptr<Velmora> client =
      std::make_unique<Velmora>("user", "p&ss<1>\"'", test::scriptedOptions(transport, printed));
};

TEST_F(Verification, SendsTheEnvelopesAndHeadersOfAllThreeOperations) {
  answer("<r>1</r>");
  autoSend("09120000000", "");
  check("09121111111", "1234");
  sendWithCode("09122222222", "5678\t\r\n");
  const auto requests = transport.requests();
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
    EXPECT_EQ(r.url, "http://soap.test/fastsend.asmx");
    EXPECT_TRUE(r.allowPlainHttp);
    EXPECT_EQ(r.body, expectedEnvelope({operation, "user", "p&amp;ss&lt;1&gt;&quot;&apos;",
                                        sent[i][1], sent[i][2], sent[i][3]}));
    EXPECT_EQ(r.headers,
              (std::vector<std::string>{"Content-Type: text/xml; charset=utf-8",
                                        "SOAPAction: http://velmora.test/" + operation}));
  }
  // The envelope is never printed; the answer is, under the operation's name.
  for (const auto& line : printed.all()) {
    EXPECT_EQ(line.text.find("Envelope"), std::string::npos) << line.text;
    EXPECT_EQ(line.kind, DiagnosticKind::Answer);
  }
  EXPECT_EQ(printed.all().back().operation, "SendMessageWithCode");
}

// What the number operations and CheckSendCode read from an answer's text.
TEST_F(Verification, ReadNumbersAndTruthValuesFromTheAnswerText) {
  const std::string indented = R"(<?xml version="1.0" encoding="utf-8"?>
<soap12:Envelope xmlns:soap12="http://www.w3.org/2003/05/soap-envelope">
  <soap12:Body>
    <Response xmlns="http://velmora.test/">
      <Result>VALUE</Result>
    </Response>
  </soap12:Body>
</soap12:Envelope>)";
  const auto in = [&](const std::string& value) {
    std::string body = indented;
    return body.replace(body.find("VALUE"), 5, value);
  };
  const std::string noText = "<!DOCTYPE r [<!ENTITY b 'two'><!ENTITY a 'one'>]><r><x/></r>";
  const std::tuple<std::string, std::optional<std::int64_t>, std::optional<bool>> cases[] = {
      {"<r>42</r>", 42, std::nullopt},
      {"<r>-9223372036854775808</r>", kMin, std::nullopt},
      {"<r>9223372036854775808</r>", std::nullopt, std::nullopt},
      {"<r>4&#50;</r>", 42, std::nullopt},  // the digits arrive in two chunks
      {"<r>true</r>", std::nullopt, true},
      {"<r>false</r>", std::nullopt, false},
      {"<r>True</r>", std::nullopt, std::nullopt},
      {"<r>1</r>", 1, std::nullopt},
      {in("4213"), 4213, std::nullopt},  // white space around the text is not part of it
      {in("true"), std::nullopt, true},
      {in("42 13"), std::nullopt, std::nullopt},
      {noText, std::nullopt, false},  // no text at all: false, for CheckSendCode only
      {"<r><![CDATA[42]]></r>", std::nullopt, false},  // text inside CDATA is not collected
  };
  for (const auto& [body, number, truth] : cases) {
    SCOPED_TRACE(body);
    EXPECT_EQ(numberFrom(body), number);
    EXPECT_EQ(truthFrom(body), truth);
  }
  EXPECT_TRUE(printedLine("Body: Optional(<r>42</r>)"));
  EXPECT_TRUE(printedLine("found text: 42"));
  // The printed text keeps the white space that was read past.
  EXPECT_TRUE(printedLine("found text: \n  \n    \n      true\n    \n  \n"));
  // An answer without text prints its entities instead, sorted by name, for each operation.
  EXPECT_EQ(count("a: one"), 3u);
  EXPECT_EQ(count("b: two"), 3u);
}

TEST_F(Verification, OnlyTwoHundredsHandOverTheAnswer) {
  for (int status : {200, 299}) {
    answer("<r>7</r>", status);
    EXPECT_EQ(autoSend("0912", "f"), 7) << status;
  }
  for (int status : {199, 300, 404, 500}) {
    SCOPED_TRACE(status);
    printed.clear();
    answer("<r>7</r>", status);
    EXPECT_EQ(autoSend("0912", "f"), std::nullopt);
    EXPECT_EQ(check("0912", "1"), std::nullopt);
    EXPECT_EQ(count("statusCode should be 2xx, but is " + std::to_string(status)), 2u);
    EXPECT_EQ(count(test::describedStatus("http://soap.test/fastsend.asmx", status)), 2u);
    EXPECT_EQ(printed.lines().size(), 4u);  // no "Body: " line
    const auto done = run<bool>([&](TruthCompletion d) { client->CheckSendCode("0912", "1", d); });
    ASSERT_TRUE(done.failure);
    EXPECT_EQ(done.failure->kind, FailureKind::HttpStatus);
    EXPECT_EQ(done.failure->httpStatus, status);
  }
}

TEST_F(Verification, BodyThatIsNotUtf8IsPrintedAsNilAndStillParsed) {
  EXPECT_EQ(truthFrom("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>true</r><!-- \xe9 -->"),
            true);
  EXPECT_TRUE(printedLine("Body: nil"));
}

TEST_F(Verification, FailuresAndUnreadableAnswersCarryTheirReason) {
  transport.answer(test::failure(FailureKind::Timeout, true, "The request timed out"));
  const auto timedOut =
      run<std::int64_t>([&](NumberCompletion d) { client->AutoSendCode("0912", "f", d); });
  ASSERT_TRUE(timedOut.failure);
  EXPECT_EQ(timedOut.failure->kind, FailureKind::Timeout);
  EXPECT_TRUE(timedOut.failure->requestMayHaveArrived);
  EXPECT_EQ(timedOut.failure->message, "error The request timed out");
  EXPECT_EQ(printed.lines(), std::vector<std::string>{"error The request timed out"});

  const std::pair<const char*, const char*> unreadable[] = {
      {"", "answer is not well-formed XML: no element found at line 1, column 1"},
      {"<r>4213", "answer is not well-formed XML: no element found at line 1, column 8"},
      {"<r>42</r><r>",
       "answer is not well-formed XML: junk after document element at line 1, column 10"},
      {"<r>4 2</r>", "found text: 4 2"},
      {"<r/>", "the answer holds no text"},
  };
  for (const auto& [body, message] : unreadable) {
    answer(body);
    const auto done =
        run<std::int64_t>([&](NumberCompletion d) { client->SendMessageWithCode("0912", "1", d); });
    ASSERT_TRUE(done.failure) << body;
    EXPECT_EQ(done.failure->kind, FailureKind::MalformedAnswer) << body;
    EXPECT_EQ(done.failure->message, message);
    // CheckSendCode reads an answer without text as false, and nothing else that is unreadable.
    EXPECT_EQ(truthFrom(body), body == std::string("<r/>") ? std::optional(false) : std::nullopt);
  }
}

// Every way a verification call can end without sending: one line, the absent value (never
// false) with its reason, once, on the completion thread, after the call returned. Which name
// each argument is refused under is walked in operations_test.cpp, and the URL checks that
// soapUrl shares with restBaseUrl in json_operations_test.cpp.
TEST_F(Verification, RefusalsSendNothingAndCompleteLaterOffTheCallersThread) {
  struct RefusalCase {
    const char* line;
    std::function<void(Options&)> configure;
    std::string phone = "0912";
    std::string last = "1";
    std::string username = "user";
  };
  const auto with = [](std::string Options::*field, std::string value) {
    return [field, value](Options& o) { o.*field = value; };
  };
  const auto unchanged = [](Options&) {};
  const RefusalCase refusals[] = {
      {"footer holds text that XML cannot carry; nothing was sent", unchanged, "0912",
       std::string("1\0"
                   "2",
                   3)},
      {"code holds text that XML cannot carry; nothing was sent", unchanged, "0912", "\x1b[1m"},
      {"username holds text that XML cannot carry; nothing was sent", unchanged, "0912", "1",
       "us\x01r"},
      {"soapNamespace holds a control character or a space; nothing was sent",
       with(&Options::soapNamespace, "http://velmora.test/\r\nX-Injected:yes\r\n")},
      {"soapNamespace holds a control character or a space; nothing was sent",
       with(&Options::soapNamespace, "http://velmora.test/a b/")},
      {"soapNamespace holds text that XML cannot carry; nothing was sent",
       with(&Options::soapNamespace, "http://velmora.test/\xef\xbf\xbe/")},
      {"soapNamespace must be an absolute http or https URI; nothing was sent",
       with(&Options::soapNamespace, "urn:velmora:sms/")},
      {"soapNamespace must be an absolute http or https URI; nothing was sent",
       with(&Options::soapNamespace, "http:velmora.test/")},
      {"soapUrl must be an http or https URL, not \"ftp\"; nothing was sent",
       with(&Options::soapUrl, "ftp://soap.test/fastsend.asmx")},
      {"deadline must be positive and at most 24 hours; nothing was sent",
       [](Options& o) { o.deadline = std::chrono::hours(25); }},
  };
  for (const RefusalCase& refusal : refusals) {
    SCOPED_TRACE(refusal.line);
    Options options = test::scriptedOptions(transport, printed);
    refusal.configure(options);
    client = std::make_unique<Velmora>(refusal.username, "pw", options);
    const auto number = [&](const char* operation, auto start) {
      printed.clear();
      const auto done = run<std::int64_t>(start);
      EXPECT_EQ(done.value, std::nullopt);
      return std::make_pair(done, std::string(operation) + ": " + refusal.line);
    };
    const bool footerCase = refusal.last.find('\0') != std::string::npos;
    auto [done, line] = footerCase ? number("AutoSendCode",
                                            [&](NumberCompletion d) {
                                              client->AutoSendCode(refusal.phone, refusal.last, d);
                                            })
                                   : number("SendMessageWithCode", [&](NumberCompletion d) {
                                       client->SendMessageWithCode(refusal.phone, refusal.last, d);
                                     });
    EXPECT_EQ(printed.lines(), std::vector<std::string>{line});
    EXPECT_EQ(printed.all().at(0).kind, DiagnosticKind::Refused);
    ASSERT_TRUE(done.failure);
    EXPECT_EQ(done.failure->kind, FailureKind::RefusedInput);
    EXPECT_FALSE(done.failure->requestMayHaveArrived);
    EXPECT_EQ(done.failure->message, line);
    if (footerCase) continue;
    // CheckSendCode refuses the same way, with the absent value rather than false.
    printed.clear();
    const auto checked = run<bool>(
        [&](TruthCompletion d) { client->CheckSendCode(refusal.phone, refusal.last, d); });
    EXPECT_EQ(checked.value, std::nullopt);
    ASSERT_EQ(printed.lines().size(), 1u);
  }
  EXPECT_TRUE(transport.requests().empty());
}

TEST_F(Verification, NamespacesAndEndpointsThatAreAccepted) {
  const std::pair<const char*, const char*> cases[] = {
      {"https://Velmora.test/sms/", "HTTPS://soap.test:8080/fastsend.asmx"},
      {"http://velmora.test/?v=1#x", "https://soap.test/fastsend.asmx"},
  };
  answer("<r>1</r>");
  for (const auto& [serviceNamespace, soapUrl] : cases) {
    Options options = test::scriptedOptions(transport, printed);
    options.soapNamespace = serviceNamespace;
    options.soapUrl = soapUrl;
    client = std::make_unique<Velmora>("user", "pw", options);
    EXPECT_EQ(autoSend("0912", "f"), 1) << serviceNamespace;
    EXPECT_EQ(transport.requests().back().headers.at(1),
              std::string("SOAPAction: ") + serviceNamespace + "AutoSendCode");
  }
  EXPECT_EQ(transport.requests().at(0).url, "https://soap.test:8080/fastsend.asmx");
}

}  // namespace
}  // namespace velmora
