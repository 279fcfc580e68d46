// co_await on the operations, built as C++20: the awaited outcome is the one the future form
// gives, failures included, and the coroutine goes on on the transport's completion thread.

#include <velmora/coro.hpp>
#include <velmora/testing.hpp>
#include <velmora/velmora.hpp>

#include <gtest/gtest.h>

#include <exception>
#include <future>

namespace {

using velmora::Outcome;
using velmora::Velmora;
using ResultOutcome = Outcome<std::shared_ptr<velmora::Result>>;

// The smallest task type: runs at once, nobody waits for its frame.
struct Detached {
  struct promise_type {
    Detached get_return_object() { return {}; }
    std::suspend_never initial_suspend() noexcept { return {}; }
    std::suspend_never final_suspend() noexcept { return {}; }
    void return_void() {}
    void unhandled_exception() { std::terminate(); }
  };
};

struct Seen {
  ResultOutcome credit;
  Outcome<std::optional<bool>> check;
  Outcome<velmora::Credit> typedCredit;  // a typed operation's Outcome, not wrapped again
  bool resumedOnCompletionThread = false;
};

Detached creditThenCheck(Velmora& client, velmora::Transport& transport, std::promise<Seen>& done) {
  Seen seen;
  seen.credit = co_await velmora::async(client, &Velmora::GetCredit);
  seen.resumedOnCompletionThread = transport.onCompletionThread();
  seen.check = co_await velmora::async(client, &Velmora::CheckSendCode, "09120000001", "1234");
  seen.typedCredit = co_await velmora::async(client, &Velmora::credit);
  done.set_value(std::move(seen));
}

TEST(Coroutines, YieldTheOutcomeTheFutureFormGives) {
  auto transport = std::make_shared<velmora::testing::ScriptedTransport>();
  transport->answer("GetCredit", velmora::testing::reply(200, R"({"Code":0,"Result":1000})"));
  transport->answer("CheckSendCode",
                    velmora::testing::failure(velmora::FailureKind::Connect, false, "refused"));
  velmora::Options options;
  options.transport = transport;
  options.diagnostics = [](const velmora::Diagnostic&) {};
  Velmora client("user", "secret", options);

  std::promise<Seen> done;
  auto awaited = done.get_future();
  creditThenCheck(client, *transport, done);
  const Seen seen = awaited.get();

  const ResultOutcome credit = velmora::toOutcomeFuture(client, &Velmora::GetCredit).get();
  ASSERT_TRUE(seen.credit.value);
  EXPECT_EQ(seen.credit.value->Payload(), credit.value->Payload());
  EXPECT_FALSE(seen.credit.failure);
  EXPECT_TRUE(seen.resumedOnCompletionThread);

  const auto check =
      velmora::toOutcomeFuture(client, &Velmora::CheckSendCode, "09120000001", "1234").get();
  EXPECT_FALSE(seen.check.value);
  ASSERT_TRUE(seen.check.failure && check.failure);
  EXPECT_EQ(seen.check.failure->kind, check.failure->kind);
  EXPECT_EQ(seen.check.failure->message, check.failure->message);
  EXPECT_FALSE(seen.check.failure->requestMayHaveArrived);
  ASSERT_TRUE(seen.typedCredit);
  EXPECT_EQ(seen.typedCredit.value.amount, 1000);
  EXPECT_EQ(transport->requests().size(), 5u);
}

}  // namespace
