#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/client_access.hpp"
#include "support/loopback_server.hpp"
#include "transport/json_call.hpp"
#include "velmora/velmora.hpp"

namespace velmora {
namespace {

using detail::ClientAccess;
using test::Latch;
using test::LineCapture;
using test::LoopbackServer;

// Runs one callAPI exchange against `server` and returns what the completion received.
struct Outcome {
  std::shared_ptr<Result> result;
  int calls = 0;
};

Outcome callOnce(LoopbackServer& server, std::string body = "{\"a\":1}",
                 std::chrono::milliseconds timeout = std::chrono::seconds(10),
                 std::string path = "/api/smsAPI/Test") {
  Velmora client("user", "pass", server.options(timeout));
  Outcome out;
  Latch latch;
  std::mutex mutex;
  ClientAccess::callAPI(client, server.baseUrl() + path, std::move(body),
                        [&](std::shared_ptr<Result> r) {
                          std::lock_guard<std::mutex> lock(mutex);
                          out.result = std::move(r);
                          ++out.calls;
                          latch.done();
                        });
  EXPECT_TRUE(latch.wait());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a second call would show here
  std::lock_guard<std::mutex> lock(mutex);
  return out;
}

detail::HttpResponse answer(long status, std::string body) {
  detail::HttpResponse r;
  r.status = status;
  r.body = std::move(body);
  r.description = "<response>";
  return r;
}

TEST(JsonCallWire, PostsBodyWithJsonTypeAndBasicAuthorization) {
  LoopbackServer server;
  LineCapture lines;
  Outcome out = callOnce(server, "{\"x\": \"y\"}");
  const auto received = server.requests();
  ASSERT_EQ(received.size(), 1u);
  const auto& req = received[0];
  EXPECT_EQ(req.method, "POST");
  EXPECT_EQ(req.path, "/api/smsAPI/Test");
  EXPECT_EQ(req.header("Content-Type"), "application/json");
  EXPECT_EQ(req.header("Authorization"), "Basic dXNlcjpwYXNz");
  EXPECT_EQ(req.body, "{\"x\": \"y\"}");
  EXPECT_FALSE(req.hasHeader("Expect"));
  EXPECT_EQ(lines.lines(), std::vector<std::string>{"{\"x\": \"y\"}"});
  EXPECT_EQ(out.calls, 1);
}

TEST(JsonCallWire, EmptyBodySendsNoBodyAndPrintsNothing) {
  LoopbackServer server;
  LineCapture lines;
  Outcome out = callOnce(server, "");
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].method, "POST");
  EXPECT_EQ(server.requests()[0].body, "");
  EXPECT_TRUE(server.requests()[0].hasHeader("Authorization"));
  EXPECT_TRUE(lines.lines().empty());
  ASSERT_NE(out.result, nullptr);
}

TEST(JsonCallStatus, TwoHundredsGoOnAndOthersPrintTwoLines) {
  LoopbackServer server;
  for (int status : {200, 250, 299}) {
    server.answer(status, R"({"Code":1001})");
    Outcome out = callOnce(server);
    ASSERT_NE(out.result, nullptr) << status;
    EXPECT_EQ(out.result->Code(), ResultCode::DocError);
  }
  for (int status : {300, 304, 404, 500}) {
    LineCapture lines;
    // A 304 may not carry a body; the others carry a JSON object that must not be read.
    server.answer(status, status == 304 ? "" : R"({"Code":1001})");
    Outcome out = callOnce(server);
    EXPECT_EQ(out.result, nullptr) << status;
    EXPECT_EQ(out.calls, 1);
    const auto printed = lines.lines();
    ASSERT_EQ(printed.size(), 3u) << status << " " << testing::PrintToString(printed);
    EXPECT_EQ(printed[1], "statusCode should be 2xx, but is " + std::to_string(status));
    EXPECT_EQ(printed[2].rfind("response = ", 0), 0u);
    EXPECT_NE(printed[2].find(std::to_string(status)), std::string::npos);
  }
}

TEST(JsonCallStatus, RedirectIsNotFollowedAndCredentialsStayHome) {
  LoopbackServer target;
  LoopbackServer server;
  const std::string elsewhere = target.baseUrl() + "/stolen";
  server.setHandler([elsewhere](const httplib::Request&, httplib::Response& res) {
    res.set_redirect(elsewhere, 302);
  });
  LineCapture lines;
  Outcome out = callOnce(server);
  EXPECT_EQ(out.result, nullptr);
  EXPECT_EQ(lines.count("statusCode should be 2xx, but is 302"), 1u);
  EXPECT_TRUE(target.requests().empty());
}

TEST(JsonAnswer, FillsOnlyExactKeysOfAcceptedKinds) {
  LineCapture lines;
  auto r = detail::resultFromResponse(answer(200, "{}"));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->Code(), ResultCode::Success);
  EXPECT_EQ(r->Message(), "");
  EXPECT_EQ(r->Payload(), "");

  r = detail::resultFromResponse(
      answer(200, R"({"Code":3003,"Message":"low","Result":{"credit":5,"list":[1,"a"]}})"));
  EXPECT_EQ(r->Code(), ResultCode::CreditError);
  EXPECT_EQ(r->Message(), "low");
  EXPECT_EQ(r->Payload(), nlohmann::json::parse(R"({"credit":5,"list":[1,"a"]})"));

  r = detail::resultFromResponse(answer(200, R"({"Code":1001.0,"Message":7,"Result":null})"));
  EXPECT_EQ(r->Code(), ResultCode::DocError);  // a whole number written with a fraction
  EXPECT_EQ(r->Message(), "");
  EXPECT_TRUE(r->Payload().is_null());

  // A whole number that is no case is kept as it came, never read as Success.
  for (const std::int64_t unknown : {9999, 4000, -1}) {
    r = detail::resultFromResponse(answer(200, R"({"Code":)" + std::to_string(unknown) + "}"));
    EXPECT_EQ(rawValue(r->Code()), unknown);
    EXPECT_STREQ(name(r->Code()), "Unknown");
  }

  for (const char* ignored :
       {R"({"Code":"1001"})", R"({"Code":1001.5})", R"({"Code":18446744073709551615})",
        R"({"code":1001,"message":"m","result":1})", R"({"Code":true})"}) {
    r = detail::resultFromResponse(answer(200, ignored));
    ASSERT_NE(r, nullptr) << ignored;
    EXPECT_EQ(r->Code(), ResultCode::Success) << ignored;
    EXPECT_EQ(r->Message(), "") << ignored;
    EXPECT_EQ(r->Payload(), "") << ignored;
  }
  EXPECT_TRUE(lines.lines().empty());
}

TEST(JsonAnswer, AnythingButAnObjectIsNotJson) {
  for (const char* body :
       {"", "[]", "[1,2]", "\"text\"", "42", "{\"Code\":", "nul", "{} x", "\xff\xfe{}"}) {
    LineCapture lines;
    EXPECT_EQ(detail::resultFromResponse(answer(200, body)), nullptr) << body;
    EXPECT_EQ(lines.lines(), std::vector<std::string>{"Not containing JSON"}) << body;
  }
  LineCapture lines;  // 204 with an empty body
  EXPECT_EQ(detail::resultFromResponse(answer(204, "")), nullptr);
  EXPECT_EQ(lines.count("Not containing JSON"), 1u);
}

TEST(JsonAnswer, StatusOutside2xxNeverParsesTheBody) {
  LineCapture lines;
  EXPECT_EQ(detail::resultFromResponse(answer(404, R"({"Code":0})")), nullptr);
  EXPECT_EQ(lines.lines(), (std::vector<std::string>{"statusCode should be 2xx, but is 404",
                                                     "response = <response>"}));
  lines.clear();
  EXPECT_EQ(detail::resultFromResponse(answer(199, "{}")), nullptr);
  EXPECT_EQ(lines.lines().at(0), "statusCode should be 2xx, but is 199");
}

TEST(JsonAnswer, TransportFailureLines) {
  LineCapture lines;
  detail::HttpResponse failed;
  failed.failed = true;
  failed.error = "Couldn't connect to server";
  EXPECT_EQ(detail::resultFromResponse(failed), nullptr);
  failed.error.clear();
  EXPECT_EQ(detail::resultFromResponse(failed), nullptr);
  EXPECT_EQ(lines.lines(),
            (std::vector<std::string>{"error Couldn't connect to server", "error Unknown error"}));
}

TEST(JsonAnswer, DeepNestingIsRefusedWithoutExhaustingTheStack) {
  LineCapture lines;
  const std::size_t deep = 100000;
  std::string body = "{\"Result\":" + std::string(deep, '[') + std::string(deep, ']') + "}";
  EXPECT_EQ(detail::resultFromResponse(answer(200, body)), nullptr);
  EXPECT_EQ(lines.lines(), std::vector<std::string>{"Not containing JSON"});

  // Brackets inside strings do not count; nesting just under the limit is kept.
  const std::size_t fine = detail::kMaxJsonDepth - 1;
  body = "{\"Message\":\"[[[[{{{{\\\"[[\",\"Result\":" + std::string(fine, '[') +
         std::string(fine, ']') + "}";
  auto r = detail::resultFromResponse(answer(200, body));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->Message(), "[[[[{{{{\"[[");
  EXPECT_TRUE(r->Payload().is_array());
}

TEST(JsonCallTransport, ConnectionRefusedCompletesOnceWithErrorLine) {
  int port;
  {
    LoopbackServer gone;
    port = gone.port();
  }
  Options o;
  o.restBaseUrl = "https://127.0.0.1:" + std::to_string(port);
  Velmora client("u", "p", o);
  LineCapture lines;
  Latch latch;
  std::atomic<int> calls{0};
  std::shared_ptr<Result> got = std::make_shared<Result>();
  ClientAccess::callAPI(client, o.restBaseUrl + "/api/smsAPI/X", "", [&](auto r) {
    got = r;
    ++calls;
    latch.done();
  });
  ASSERT_TRUE(latch.wait());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(got, nullptr);
  ASSERT_EQ(lines.lines().size(), 1u);
  EXPECT_EQ(lines.lines()[0].rfind("error ", 0), 0u);
  EXPECT_NE(lines.lines()[0].find("onnect"), std::string::npos);
}

TEST(JsonCallTransport, UntrustedCertificateFails) {
  LoopbackServer server;
  Options o = server.options();
  o.caFile.clear();  // system store: does not know the test certificate
  Velmora client("u", "p", o);
  LineCapture lines;
  Latch latch;
  std::shared_ptr<Result> got = std::make_shared<Result>();
  ClientAccess::callAPI(client, o.restBaseUrl + "/api/smsAPI/X", "", [&](auto r) {
    got = r;
    latch.done();
  });
  ASSERT_TRUE(latch.wait());
  EXPECT_EQ(got, nullptr);
  ASSERT_EQ(lines.lines().size(), 1u);
  EXPECT_EQ(lines.lines()[0].rfind("error ", 0), 0u);
  EXPECT_TRUE(server.requests().empty());
}

TEST(JsonCallTransport, PlainHttpIsRefusedForTheRestSide) {
  LoopbackServer server(LoopbackServer::Scheme::Http);
  LineCapture lines;
  Outcome out = callOnce(server, "");
  EXPECT_EQ(out.result, nullptr);
  EXPECT_TRUE(server.requests().empty());
  EXPECT_EQ(lines.lines().at(0).rfind("error ", 0), 0u);
}

TEST(JsonCallTransport, SilentServerTimesOutAfterIdleLimit) {
  LoopbackServer server;
  server.setHandler([](const httplib::Request&, httplib::Response& res) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    res.set_content("{}", "application/json");
  });
  LineCapture lines;
  const auto start = std::chrono::steady_clock::now();
  Outcome out = callOnce(server, "", std::chrono::milliseconds(300));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(out.result, nullptr);
  EXPECT_LT(took, std::chrono::milliseconds(1400));
  ASSERT_FALSE(lines.lines().empty());
  EXPECT_EQ(lines.lines()[0].rfind("error The request timed out", 0), 0u);
}

TEST(JsonCallTransport, OversizedBodyIsRefusedWithAndWithoutLength) {
  LoopbackServer server;
  const std::string big(17u * 1024u * 1024u, ' ');
  for (bool chunked : {false, true}) {
    server.setHandler([&big, chunked](const httplib::Request&, httplib::Response& res) {
      if (!chunked) {
        res.set_content(big, "application/json");
        return;
      }
      res.set_chunked_content_provider(
          "application/json", [&big](std::size_t offset, httplib::DataSink& sink) {
            const std::size_t piece = std::min<std::size_t>(1 << 20, big.size() - offset);
            if (piece == 0 || !sink.write(big.data() + offset, piece)) {
              sink.done();
            }
            return true;
          });
    });
    LineCapture lines;
    Outcome out = callOnce(server, "");
    EXPECT_EQ(out.result, nullptr) << chunked;
    ASSERT_EQ(lines.lines().size(), 1u) << chunked;
    EXPECT_EQ(lines.lines()[0].rfind("error ", 0), 0u) << lines.lines()[0];
  }
}

TEST(JsonCallLifecycle, ClientReleasedInFlightStillCompletes) {
  LoopbackServer server;
  server.setHandler([](const httplib::Request&, httplib::Response& res) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    res.set_content(R"({"Code":2002})", "application/json");
  });
  Latch latch(20);
  std::atomic<int> userErrors{0};
  {
    auto client = std::make_unique<Velmora>("u", "p", server.options());
    for (int i = 0; i < 20; ++i) {
      ClientAccess::callAPI(*client, server.baseUrl() + "/api/smsAPI/X", "", [&](auto r) {
        if (r && r->Code() == ResultCode::UserError) ++userErrors;
        latch.done();
      });
    }
  }
  ASSERT_TRUE(latch.wait());
  EXPECT_EQ(userErrors, 20);
}

TEST(JsonCallLifecycle, ThrowingCompletionIsReportedAndSessionGoesOn) {
  LoopbackServer server;
  Velmora client("u", "p", server.options());
  LineCapture lines;
  Latch thrown;
  ClientAccess::callAPI(client, server.baseUrl() + "/x", "", [&](auto) {
    thrown.done();
    throw std::runtime_error("boom");
  });
  ASSERT_TRUE(thrown.wait());
  Latch next;
  ClientAccess::callAPI(client, server.baseUrl() + "/x", "", [&](auto r) {
    if (r) next.done();
  });
  ASSERT_TRUE(next.wait());
  EXPECT_EQ(lines.count("velmora: a completion handler threw: boom"), 1u);
}

TEST(JsonCallLifecycle, CompletionRunsOffCallerThreadAndMayChainAndDestroyClient) {
  LoopbackServer server;
  auto client = std::make_shared<Velmora>("u", "p", server.options());
  const auto caller = std::this_thread::get_id();
  Latch latch;
  std::atomic<bool> offCaller{false};
  const std::string url = server.baseUrl() + "/chain";
  ClientAccess::callAPI(*client, url, "", [&, client](auto) mutable {
    offCaller = std::this_thread::get_id() != caller;
    ClientAccess::callAPI(*client, url, "", [&](auto r) {
      if (r) latch.done();
    });
    client.reset();  // the last holder lets go inside a completion
  });
  client.reset();
  ASSERT_TRUE(latch.wait());
  EXPECT_TRUE(offCaller);
  EXPECT_EQ(server.requests().size(), 2u);
}

TEST(JsonCallLifecycle, ManyConcurrentCallersEachCompleteOnce) {
  LoopbackServer server;
  Velmora client("u", "p", server.options(std::chrono::seconds(30)));
  constexpr int kThreads = 4;
  constexpr int kPerThread = 50;
  LineCapture lines;
  std::vector<std::atomic<int>> calls(kThreads * kPerThread);
  std::atomic<int> failures{0};
  Latch latch(kThreads * kPerThread);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const int id = t * kPerThread + i;
        ClientAccess::callAPI(client, server.baseUrl() + "/x", "", [&, id](auto r) {
          ++calls[id];
          if (!r) ++failures;
          latch.done();
        });
      }
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_TRUE(latch.wait(std::chrono::seconds(60)));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (auto& c : calls) EXPECT_EQ(c, 1);
  EXPECT_EQ(failures, 0) << testing::PrintToString(lines.lines());
}

}  // namespace
}  // namespace velmora
