// Reading a JSON answer: which answers give a Result, what it holds, and what is printed.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rest/answer.hpp"
#include "support/scripted_transport.hpp"
#include "velmora/velmora.hpp"

namespace velmora {
namespace {

using test::Diagnostics;

HttpResponse answer(long status, std::string body) {
  HttpResponse r;
  r.status = status;
  r.body = std::move(body);
  r.statusLine = "HTTP/1.1 " + std::to_string(status);
  return r;
}

// Reads answers and keeps the lines printed meanwhile.
struct Lines : Diagnostics {
  std::shared_ptr<Result> read(const HttpResponse& response) {
    const auto sink = std::make_shared<const detail::DiagnosticSink>(this->sink());
    return detail::readJsonExchange(response, detail::CallContext{"Test", sink, {}, {}, 1}).result;
  }
};

TEST(JsonAnswer, FillsOnlyExactKeysOfAcceptedKinds) {
  Lines lines;
  auto r = lines.read(answer(200, R"({"Code":0})"));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->Code(), ResultCode::Success);
  EXPECT_EQ(r->Message(), "");
  EXPECT_EQ(r->Payload(), "");

  r = lines.read(
      answer(200, R"({"Code":3003,"Message":"low","Result":{"credit":5,"list":[1,"a"]}})"));
  EXPECT_EQ(r->Code(), ResultCode::CreditError);
  EXPECT_EQ(r->Message(), "low");
  EXPECT_EQ(r->Payload(), nlohmann::json::parse(R"({"credit":5,"list":[1,"a"]})"));

  r = lines.read(answer(200, R"({"Code":1001.0,"Message":7,"Result":null})"));
  EXPECT_EQ(r->Code(), ResultCode::DocError);  // a whole number written with a fraction
  EXPECT_EQ(r->Message(), "");
  EXPECT_TRUE(r->Payload().is_null());

  // A whole number that is no case is kept as it came, never read as Success.
  for (const std::int64_t unknown : {9999, 4000, -1}) {
    r = lines.read(answer(200, R"({"Code":)" + std::to_string(unknown) + "}"));
    EXPECT_EQ(rawValue(r->Code()), unknown);
    EXPECT_STREQ(name(r->Code()), "Unknown");
  }

  // Codes written as strings of decimal digits are the service's own too.
  for (const auto& [written, raw] : std::vector<std::pair<const char*, std::int64_t>>{
           {R"({"Code":"3003"})", 3003},
           {R"({"Code":"-1"})", -1},
           {R"({"Code":"0"})", 0},
           {R"({"Code":"9223372036854775807"})", INT64_MAX},
           {R"({"Code":"00000000000000000000017885963230"})", 17885963230}}) {
    r = lines.read(answer(200, written));
    ASSERT_NE(r, nullptr) << written;
    EXPECT_EQ(rawValue(r->Code()), raw) << written;
  }
  EXPECT_TRUE(lines.lines().empty());
}

// Only the service's own code is believed: an answer whose "Code" is anything else is no
// verdict at all, and must never read as Success.
TEST(JsonAnswer, AnswerWithoutABelievableCodeIsMalformed) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"{}", "is missing"},
      {R"({"Message":"gateway error"})", "is missing"},
      {R"({"code":1001,"message":"m","result":1})", "is missing"},
      {R"({"Code":null})", "is null"},
      {R"({"Code":2002.5})", "is not a whole number"},
      {R"({"Code":1e300})", "is outside the signed 64-bit range"},
      {R"({"Code":18446744073709551615})", "is outside the signed 64-bit range"},
      {R"({"Code":"9223372036854775808"})", "is outside the signed 64-bit range"},
      {R"({"Code":"3003 "})", "is a string that is not a whole decimal number"},
      {R"({"Code":"+1"})", "is a string that is not a whole decimal number"},
      {R"({"Code":"-"})", "is a string that is not a whole decimal number"},
      {R"({"Code":""})", "is a string that is not a whole decimal number"},
      {R"({"Code":true})", "is neither a number nor a string of digits"},
      {R"({"Code":[0]})", "is neither a number nor a string of digits"},
  };
  for (const auto& [body, problem] : cases) {
    Lines lines;
    const auto sink = std::make_shared<const detail::DiagnosticSink>(lines.sink());
    const auto out =
        detail::readJsonExchange(answer(200, body), detail::CallContext{"Test", sink, {}, {}, 1});
    EXPECT_EQ(out.result, nullptr) << body;
    ASSERT_TRUE(out.failure) << body;
    EXPECT_EQ(out.failure->kind, FailureKind::MalformedAnswer) << body;
    EXPECT_TRUE(out.failure->requestMayHaveArrived) << body;
    const std::string line =
        std::string("The answer's \"Code\" ") + problem + "; the service's verdict is unknown";
    EXPECT_EQ(lines.lines(), std::vector<std::string>{line}) << body;
  }
}

TEST(JsonAnswer, ARepeatedCodeOrResultIsMalformedWhereverItStands) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {R"({"Code":0,"Message":"ok","Code":2002})", "Code"},
      {R"({"Code":2002,"Code":0})", "Code"},
      {R"({"Result":1,"Code":0,"Result":2})", "Result"},
  };
  for (const auto& [body, member] : cases) {
    Lines lines;
    EXPECT_EQ(lines.read(answer(200, body)), nullptr) << body;
    const std::string line = std::string("The answer has more than one \"") + member +
                             "\" member; the service's verdict is unknown";
    EXPECT_EQ(lines.lines(), std::vector<std::string>{line}) << body;
  }
  // The same names inside the payload are the payload's own.
  Lines nested;
  const auto read = nested.read(answer(200, R"({"Code":0,"Result":{"Code":1,"Code":2}})"));
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read->Code(), ResultCode::Success);
}

TEST(JsonAnswer, AnythingButAnObjectIsNotJson) {
  for (const char* body :
       {"", "[]", "[1,2]", "\"text\"", "42", "{\"Code\":", "nul", "{} x", "\xff\xfe{}"}) {
    Lines lines;
    EXPECT_EQ(lines.read(answer(200, body)), nullptr) << body;
    EXPECT_EQ(lines.lines(), std::vector<std::string>{"Not containing JSON"}) << body;
  }
  Lines lines;  // 204 with an empty body
  EXPECT_EQ(lines.read(answer(204, "")), nullptr);
  EXPECT_EQ(lines.lines(), std::vector<std::string>{"Not containing JSON"});
}

TEST(JsonAnswer, DeepNestingIsRefusedWithoutExhaustingTheStack) {
  Lines lines;
  const std::size_t deep = 100000;
  std::string body = "{\"Result\":" + std::string(deep, '[') + std::string(deep, ']') + "}";
  EXPECT_EQ(lines.read(answer(200, body)), nullptr);
  EXPECT_EQ(lines.lines(), std::vector<std::string>{"Not containing JSON"});

  // Brackets inside strings do not count; nesting just under the limit is kept.
  const std::size_t fine = detail::kMaxJsonDepth - 1;
  body = "{\"Code\":0,\"Message\":\"[[[[{{{{\\\"[[\",\"Result\":" + std::string(fine, '[') +
         std::string(fine, ']') + "}";
  auto r = lines.read(answer(200, body));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->Message(), "[[[[{{{{\"[[");
  EXPECT_TRUE(r->Payload().is_array());
}

}  // namespace
}  // namespace velmora
