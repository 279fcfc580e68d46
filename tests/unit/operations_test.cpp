// Walks the operation table: every member reaches its own endpoint, and each of its text
// arguments is checked under the name the table gives it, in the member's order.

#include <gtest/gtest.h>

#include <future>
#include <map>
#include <set>

#include "client/operations.hpp"
#include "support/message_records.hpp"
#include "support/scripted_transport.hpp"
#include "velmora/velmora.hpp"

namespace velmora {
namespace {

using Texts = std::vector<std::string>;
using Invoke = std::function<void(Velmora&, const Texts&, std::function<void()>)>;

// Each member, called with its text arguments in declaration order; `done` runs at completion.
const std::map<std::string, Invoke>& members() {
  using test::makeRecord;
  static const std::map<std::string, Invoke> all = {
      {"SendMessage",
       [](Velmora& c, const Texts& t, auto done) {
         c.SendMessage(t[0], t[1], {t[2]}, t[3], 0, [done](auto) { done(); });
       }},
      {"SendCorrespondingMessage",
       [](Velmora& c, const Texts& t, auto done) {
         c.SendCorrespondingMessage(t[0], {makeRecord("1", t[1], "0912")}, t[2],
                                    [done](auto) { done(); });
       }},
      {"SendMessageToPort",
       [](Velmora& c, const Texts& t, auto done) {
         c.SendMessageToPort(t[0], 1, 2, t[1], {makeRecord("1", t[2], "0912")},
                             [done](auto) { done(); });
       }},
      {"GroupMessageStatus",
       [](Velmora& c, const Texts& t, auto done) {
         c.GroupMessageStatus(t[0], [done](auto) { done(); });
       }},
      {"CorrespondingMessageStatus",
       [](Velmora& c, const Texts& t, auto done) {
         c.CorrespondingMessageStatus({t[0]}, [done](auto) { done(); });
       }},
      {"GetGroupMessageId", [](Velmora& c, const Texts& t,
                               auto done) { c.GetGroupMessageId(t[0], [done](auto) { done(); }); }},
      {"ReceiveMessages",
       [](Velmora& c, const Texts& t, auto done) {
         c.ReceiveMessages(t[0], 0, 0, 1, [done](auto) { done(); });
       }},
      {"GetCredit",
       [](Velmora& c, const Texts&, auto done) { c.GetCredit([done](auto) { done(); }); }},
      {"GetPrices",
       [](Velmora& c, const Texts&, auto done) { c.GetPrices([done](auto) { done(); }); }},
      {"ShowWhiteList", [](Velmora& c, const Texts& t,
                           auto done) { c.ShowWhiteList({t[0]}, [done](auto) { done(); }); }},
      {"AutoSendCode", [](Velmora& c, const Texts& t,
                          auto done) { c.AutoSendCode(t[0], t[1], [done](auto) { done(); }); }},
      {"CheckSendCode", [](Velmora& c, const Texts& t,
                           auto done) { c.CheckSendCode(t[0], t[1], [done](auto) { done(); }); }},
      {"SendMessageWithCode",
       [](Velmora& c, const Texts& t, auto done) {
         c.SendMessageWithCode(t[0], t[1], [done](auto) { done(); });
       }},
  };
  return all;
}

std::size_t textCount(const detail::Operation& op) {
  std::size_t n = 0;
  while (n < op.texts.size() && op.texts[n] != nullptr) ++n;
  return n;
}

void callAndWait(Velmora& client, const detail::Operation& op, const Texts& texts) {
  std::promise<void> done;
  members().at(op.name)(client, texts, [&done] { done.set_value(); });
  ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST(Operations, EveryMemberIsInTheTableOnce) {
  std::set<std::string> names;
  for (const detail::Operation* op : detail::kOperations) names.insert(op->name);
  EXPECT_EQ(names.size(), detail::kOperations.size());
  std::set<std::string> called;
  for (const auto& entry : members()) called.insert(entry.first);
  EXPECT_EQ(names, called);
}

TEST(Operations, EachMemberReachesItsOwnEndpoint) {
  test::ScriptedTransport transport;
  test::Diagnostics printed;
  Velmora client("user", "pass", test::scriptedOptions(transport, printed));
  for (const detail::Operation* op : detail::kOperations) {
    SCOPED_TRACE(op->name);
    callAndWait(client, *op, Texts(textCount(*op), "1"));
    const HttpRequest sent = transport.requests().back();
    if (op->protocol == detail::Protocol::Json) {
      EXPECT_EQ(sent.url, std::string("https://rest.test/api/smsAPI/") + op->name);
    } else {
      EXPECT_EQ(sent.headers.at(1), std::string("SOAPAction: http://velmora.test/") + op->name);
      EXPECT_NE(sent.body.find(std::string("<") + op->lastTag + ">1</"), std::string::npos);
    }
  }
  EXPECT_EQ(transport.requests().size(), detail::kOperations.size());
}

// A value the protocol cannot carry, in each place in turn, is refused under that place's name.
TEST(Operations, EachTextArgumentIsCheckedUnderItsOwnName) {
  test::ScriptedTransport transport;
  test::Diagnostics printed;
  Velmora client("user", "pass", test::scriptedOptions(transport, printed));
  for (const detail::Operation* op : detail::kOperations) {
    for (std::size_t i = 0; i < textCount(*op); ++i) {
      SCOPED_TRACE(std::string(op->name) + " " + op->texts[i]);
      Texts texts(textCount(*op), "1");
      texts[i] = "\xff";
      printed.clear();
      callAndWait(client, *op, texts);
      const auto lines = printed.lines();
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0].rfind(std::string(op->name) + ": " + op->texts[i], 0), 0u) << lines[0];
    }
  }
  EXPECT_TRUE(transport.requests().empty());
}

}  // namespace
}  // namespace velmora
