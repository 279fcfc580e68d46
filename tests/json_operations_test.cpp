// The JSON operations end to end against a loopback HTTPS server: what reaches the server byte
// for byte, what is printed, and what the completion receives.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback_server.hpp"
#include "support/message_records.hpp"
#include "transport/session.hpp"
#include "velmora/client.hpp"

namespace velmora {
namespace {

using nlohmann::json;
using test::Latch;
using test::LineCapture;
using test::LoopbackServer;
using test::makeRecord;
using Start = std::function<void(Velmora&, ResultCompletion)>;

// What one completion saw.
struct Outcome {
  std::shared_ptr<Result> result;
  bool onSessionThread = false;
  std::thread::id thread;
};

// Text that breaks a body when pasted unescaped: quotation mark, reverse solidus, line break,
// tab, solidus and non-ASCII letters.
const std::string kAwkward = "say \"hi\" \\ to\nall\tof you / سلام é";

class JsonOperations : public ::testing::Test {
 protected:
  // Runs one operation and waits for its completion; fails the test if it does not come.
  Outcome run(const Start& start) {
    auto latch = std::make_shared<Latch>(1);
    auto outcome = std::make_shared<Outcome>();
    start(client, [latch, outcome](std::shared_ptr<Result> result) {
      outcome->result = std::move(result);
      outcome->onSessionThread = detail::Session::shared().onSessionThread();
      outcome->thread = std::this_thread::get_id();
      latch->done();
    });
    EXPECT_TRUE(latch->wait()) << "completion did not run";
    // A second call would arrive soon after the first; give it the chance to show up.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(latch->count(), 1u) << "completion ran more than once";
    return *outcome;
  }

  // Runs one operation and returns the body the server received.
  json receivedJson(const Start& start) {
    run(start);
    const auto requests = server.requests();
    if (requests.empty()) {
      ADD_FAILURE() << "nothing arrived";
      return json();
    }
    return json::parse(requests.back().body);
  }

  LoopbackServer server;
  LineCapture capture;
  Velmora client{"user", "pass", server.options()};
};

struct Exchange {
  const char* name;
  Start start;
  const char* path;
  std::string body;
  std::size_t bytes;  // the body's length where it is known independently; 0: not checked
};

std::vector<Exchange> exchanges() {
  return {
      {"SendMessage",
       [](Velmora& c, ResultCompletion done) {
         c.SendMessage("3000", "hi", {"0912"}, "7", 0, std::move(done));
       },
       "/api/smsAPI/SendMessage",
       "{\n    \"PhoneNumber\": \"3000\",\r\n    \"Message\": \"hi\",\r\n    \"Mobiles\": "
       "[\"0912\"],\r\n    \"UserGroupID\": \"7\",\r\n    \"SendDateInTimeStamp\":0\n}",
       132},
      {"SendMessage, empty list and group, negative date",
       [](Velmora& c, ResultCompletion done) {
         c.SendMessage("3000", "hi", {}, "", -1, std::move(done));
       },
       "/api/smsAPI/SendMessage",
       "{\n    \"PhoneNumber\": \"3000\",\r\n    \"Message\": \"hi\",\r\n    \"Mobiles\": "
       "[],\r\n    \"UserGroupID\": \"\",\r\n    \"SendDateInTimeStamp\":-1\n}",
       0},
      {"SendCorrespondingMessage",
       [](Velmora& c, ResultCompletion done) {
         c.SendCorrespondingMessage("3000", {}, "7", std::move(done));
       },
       "/api/smsAPI/SendCorrespondingMessage",
       "{\n    \"PhoneNumber\": \"3000\",\r\n    \"RecipientsMessage\": [],\r\n    "
       "\"UserGroupID\": \"7\"\r\n\n}",
       86},
      {"SendMessageToPort",
       [](Velmora& c, ResultCompletion done) {
         c.SendMessageToPort("3000", 1, 2, "7", {}, std::move(done));
       },
       "/api/smsAPI/SendMessageToPort",
       "{\n    \"PhoneNumber\": \"3000\",\r\n    \"recievePortNumber\": 1,\r\n    "
       "\"sendPortNumber\": 2,\r\n    \"RecipientsMessage\": [],\r\n    \"UserGroupID\": "
       "\"7\"\r\n}",
       140},
      {"GroupMessageStatus",
       [](Velmora& c, ResultCompletion done) { c.GroupMessageStatus("42", std::move(done)); },
       "/api/smsAPI/GroupMessageStatus", "{\"GroupMessageId\": \"42\"}", 24},
      {"CorrespondingMessageStatus",
       [](Velmora& c, ResultCompletion done) {
         c.CorrespondingMessageStatus({"11", "22"}, std::move(done));
       },
       "/api/smsAPI/CorrespondingMessageStatus", "{\"messageId\": [\"11\",\"22\"]}", 0},
      {"GetGroupMessageId, empty",
       [](Velmora& c, ResultCompletion done) { c.GetGroupMessageId("", std::move(done)); },
       "/api/smsAPI/GetGroupMessageId", "{\"groupId\": \"\"}", 0},
      {"ReceiveMessages",
       [](Velmora& c, ResultCompletion done) {
         c.ReceiveMessages("3000", -1, 0, 2, std::move(done));
       },
       "/api/smsAPI/ReceiveMessages",
       "{\n    \"PhoneNumber\": \"3000\",\r\n    \"StartDate\": -1,\r\n    \"EndDate\": 0,\r\n    "
       "\"Page\": 2\n}",
       86},
      {"ReceiveMessages, extreme numbers",
       [](Velmora& c, ResultCompletion done) {
         c.ReceiveMessages("", std::numeric_limits<std::int64_t>::min(),
                           std::numeric_limits<std::int64_t>::max(), -10, std::move(done));
       },
       "/api/smsAPI/ReceiveMessages",
       "{\n    \"PhoneNumber\": \"\",\r\n    \"StartDate\": -9223372036854775808,\r\n    "
       "\"EndDate\": 9223372036854775807,\r\n    \"Page\": -10\n}",
       0},
      {"ShowWhiteList, empty",
       [](Velmora& c, ResultCompletion done) { c.ShowWhiteList({}, std::move(done)); },
       "/api/smsAPI/ShowWhiteList", "{\"MobilesList\": []}", 19},
      {"ShowWhiteList",
       [](Velmora& c, ResultCompletion done) {
         c.ShowWhiteList({"11", "22"}, std::move(done));
       },
       "/api/smsAPI/ShowWhiteList", "{\"MobilesList\": [\"11\",\"22\"]}", 0},
  };
}

TEST_F(JsonOperations, PostExactBodiesAndHandOverTheAnswer) {
  server.answer(200, R"({"Code":2001,"Message":"own number","Result":{"ids":[1,2]}})");
  for (const Exchange& exchange : exchanges()) {
    SCOPED_TRACE(exchange.name);
    capture.clear();
    const std::size_t before = server.requests().size();
    const Outcome outcome = run(exchange.start);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), before + 1);
    const test::ReceivedRequest& request = requests.back();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, exchange.path);
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.header("Authorization"), "Basic dXNlcjpwYXNz");
    EXPECT_EQ(request.body, exchange.body);
    if (exchange.bytes != 0) {
      EXPECT_EQ(request.body.size(), exchange.bytes);
    }
    EXPECT_TRUE(json::parse(request.body, nullptr, false).is_object()) << request.body;
    EXPECT_EQ(capture.lines(), std::vector<std::string>{exchange.body});

    ASSERT_NE(outcome.result, nullptr);
    EXPECT_TRUE(outcome.onSessionThread);
    EXPECT_EQ(outcome.result->Code(), ResultCode::OwnNumberError);
    EXPECT_EQ(outcome.result->Message(), "own number");
    EXPECT_EQ(outcome.result->Payload(), json::parse(R"({"ids":[1,2]})"));
  }
}

TEST_F(JsonOperations, CreditAndPricesPostNoBodyAndPrintNoBody) {
  const Start credit = [](Velmora& c, ResultCompletion done) { c.GetCredit(std::move(done)); };
  const Start prices = [](Velmora& c, ResultCompletion done) { c.GetPrices(std::move(done)); };
  server.answer(200, R"({"Code":0,"Result":12.5})");

  ASSERT_NE(run(credit).result, nullptr);
  EXPECT_EQ(capture.lines(), std::vector<std::string>{"I AM BACK"});
  capture.clear();
  const Outcome pricesOutcome = run(prices);
  ASSERT_NE(pricesOutcome.result, nullptr);
  EXPECT_EQ(pricesOutcome.result->Payload(), json(12.5));
  EXPECT_TRUE(capture.lines().empty());

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].path, "/api/smsAPI/GetCredit");
  EXPECT_EQ(requests[1].path, "/api/smsAPI/GetPrices");
  for (const auto& request : requests) {
    EXPECT_EQ(request.method, "POST");
    EXPECT_TRUE(request.body.empty());
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.header("Authorization"), "Basic dXNlcjpwYXNz");
  }
}

TEST_F(JsonOperations, CreditPrintsIAmBackBeforeTheCompletionOnEveryOutcome) {
  for (const int status : {200, 500}) {
    SCOPED_TRACE(status);
    server.answer(status, "{}");
    capture.clear();
    std::size_t linesAtCompletion = 0;
    run([&](Velmora& c, ResultCompletion done) {
      c.GetCredit([&, done](std::shared_ptr<Result> result) {
        linesAtCompletion = capture.count("I AM BACK");
        done(std::move(result));
      });
    });
    EXPECT_EQ(linesAtCompletion, 1u);
    EXPECT_EQ(capture.count("I AM BACK"), 1u);
    EXPECT_EQ(capture.lines().back(), "I AM BACK");
  }
  // The failed exchange printed its status lines first.
  EXPECT_EQ(capture.lines().front(), "statusCode should be 2xx, but is 500");
}

TEST_F(JsonOperations, FailedExchangesCompleteOnceWithNothing) {
  server.answer(404, R"({"Code":0})");
  const Start starts[] = {
      [](Velmora& c, ResultCompletion done) {
        c.SendMessage("3000", "hi", {"0912"}, "7", 0, std::move(done));
      },
      [](Velmora& c, ResultCompletion done) { c.GroupMessageStatus("1", std::move(done)); },
      [](Velmora& c, ResultCompletion done) { c.GetPrices(std::move(done)); },
  };
  for (const Start& start : starts) EXPECT_EQ(run(start).result, nullptr);
  EXPECT_EQ(capture.count("I AM BACK"), 0u);
  EXPECT_EQ(server.requests().size(), 3u);
}

TEST_F(JsonOperations, TextsArriveIntactWhateverTheyHold) {
  const json sent = receivedJson([](Velmora& c, ResultCompletion done) {
    c.SendMessage(kAwkward + "p", kAwkward + "m", {kAwkward}, kAwkward + "u", 5, std::move(done));
  });
  EXPECT_EQ(sent["PhoneNumber"], kAwkward + "p");
  EXPECT_EQ(sent["Message"], kAwkward + "m");
  EXPECT_EQ(sent["Mobiles"], json::array({kAwkward}));
  EXPECT_EQ(sent["UserGroupID"], kAwkward + "u");

  const std::vector<RecipientsMessage> records{makeRecord(kAwkward, kAwkward, kAwkward)};
  for (const bool toPort : {false, true}) {
    SCOPED_TRACE(toPort ? "SendMessageToPort" : "SendCorrespondingMessage");
    const json body = receivedJson([&](Velmora& c, ResultCompletion done) {
      if (toPort) {
        c.SendMessageToPort(kAwkward + "p", 1, 2, kAwkward + "u", records, std::move(done));
      } else {
        c.SendCorrespondingMessage(kAwkward + "p", records, kAwkward + "u", std::move(done));
      }
    });
    EXPECT_EQ(body["PhoneNumber"], kAwkward + "p");
    EXPECT_EQ(body["UserGroupID"], kAwkward + "u");
    EXPECT_EQ(body["RecipientsMessage"].get<std::vector<RecipientsMessage>>(), records);
  }

  EXPECT_EQ(receivedJson([](Velmora& c, ResultCompletion done) {
              c.GroupMessageStatus(kAwkward, std::move(done));
            })["GroupMessageId"],
            kAwkward);
  EXPECT_EQ(receivedJson([](Velmora& c, ResultCompletion done) {
              c.GetGroupMessageId(kAwkward, std::move(done));
            })["groupId"],
            kAwkward);
  EXPECT_EQ(receivedJson([](Velmora& c, ResultCompletion done) {
              c.ReceiveMessages(kAwkward, 1, 2, 3, std::move(done));
            })["PhoneNumber"],
            kAwkward);
  EXPECT_EQ(receivedJson([](Velmora& c, ResultCompletion done) {
              c.CorrespondingMessageStatus({kAwkward, "x"}, std::move(done));
            })["messageId"],
            json::array({kAwkward, "x"}));
  EXPECT_EQ(receivedJson([](Velmora& c, ResultCompletion done) {
              c.ShowWhiteList({kAwkward}, std::move(done));
            })["MobilesList"],
            json::array({kAwkward}));
}

TEST_F(JsonOperations, ATextCannotAddOrOverrideMembers) {
  const std::string injected = R"(3000", "UserGroupID": "9)";
  const json body = receivedJson([&](Velmora& c, ResultCompletion done) {
    c.SendMessage(injected, "hi", {}, "7", 0, std::move(done));
  });
  EXPECT_EQ(body["PhoneNumber"], injected);
  EXPECT_EQ(body["UserGroupID"], "7");
  EXPECT_EQ(body.size(), 5u);
  // Parsers disagree on duplicate members, so the body must not hold a second one at all.
  const std::string raw = server.requests().back().body;
  EXPECT_EQ(raw.find("\"UserGroupID\":"), raw.rfind("\"UserGroupID\":"));
}

struct Refusal {
  Start start;
  const char* line;
};

TEST_F(JsonOperations, InvalidUtf8IsRefusedWithoutSending) {
  const std::string bad = "09\xff";
  const std::vector<Refusal> refusals{
      {[&](Velmora& c, ResultCompletion done) {
         c.SendMessage("3000", bad, {"0912"}, "7", 0, std::move(done));
       },
       "SendMessage: message is not valid UTF-8; nothing sent"},
      {[&](Velmora& c, ResultCompletion done) {
         c.SendMessage("3000", "hi", {"0912", bad}, "7", 0, std::move(done));
       },
       "SendMessage: mobiles[1] is not valid UTF-8; nothing sent"},
      {[&](Velmora& c, ResultCompletion done) {
         c.SendCorrespondingMessage("3000", {makeRecord("1", "hi", bad)}, "7", std::move(done));
       },
       "SendCorrespondingMessage: recipientsMessage[0].mobile is not valid UTF-8; nothing sent"},
      {[&](Velmora& c, ResultCompletion done) {
         c.SendMessageToPort("3000", 1, 2, bad, {}, std::move(done));
       },
       "SendMessageToPort: userGroupID is not valid UTF-8; nothing sent"},
      {[&](Velmora& c, ResultCompletion done) { c.GroupMessageStatus(bad, std::move(done)); },
       "GroupMessageStatus: groupMessageId is not valid UTF-8; nothing sent"},
      {[&](Velmora& c, ResultCompletion done) {
         c.CorrespondingMessageStatus({bad}, std::move(done));
       },
       "CorrespondingMessageStatus: messageId[0] is not valid UTF-8; nothing sent"},
      {[&](Velmora& c, ResultCompletion done) { c.GetGroupMessageId(bad, std::move(done)); },
       "GetGroupMessageId: groupId is not valid UTF-8; nothing sent"},
      {[&](Velmora& c, ResultCompletion done) { c.ReceiveMessages(bad, 0, 0, 0, std::move(done)); },
       "ReceiveMessages: phoneNumber is not valid UTF-8; nothing sent"},
      {[&](Velmora& c, ResultCompletion done) {
         c.ShowWhiteList({"1", bad}, std::move(done));
       },
       "ShowWhiteList: Mobiles[1] is not valid UTF-8; nothing sent"},
  };
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.line);
    capture.clear();
    const Outcome outcome = run(refusal.start);
    EXPECT_EQ(outcome.result, nullptr);
    EXPECT_TRUE(outcome.onSessionThread);
    EXPECT_NE(outcome.thread, std::this_thread::get_id());
    EXPECT_EQ(capture.lines(), std::vector<std::string>{refusal.line});
  }
  // A request still on its way would arrive before one started after it has.
  run([](Velmora& c, ResultCompletion done) { c.GroupMessageStatus("1", std::move(done)); });
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/api/smsAPI/GroupMessageStatus");
}

TEST_F(JsonOperations, CredentialsNeedNotBeUtf8) {
  Velmora latin1{"us\xe9r", "p\xe4ss", server.options()};
  auto latch = std::make_shared<Latch>(1);
  latin1.GroupMessageStatus("1", [latch](std::shared_ptr<Result> result) {
    EXPECT_NE(result, nullptr);
    latch->done();
  });
  ASSERT_TRUE(latch->wait());
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].header("Authorization"), "Basic dXPpcjpw5HNz");
}

}  // namespace
}  // namespace velmora
