// Tests an application's own code against the library's scripted transport: the client builds
// every request exactly as for the service, a script answers, and no network is needed.
// The code under test is `sendReminder`, which retries a send only when the library says
// nothing reached the service, and `followDelivery`, which polls a send until its state is final.
// Prints one line per check; exits 1 when one fails.

#include <velmora/future.hpp>
#include <velmora/testing.hpp>
#include <velmora/velmora.hpp>

#include <iostream>
#include <memory>
#include <optional>
#include <string>

namespace {

// ---- the application's code ----

enum class Reminder { Sent, Refused, Uncertain, Failed };

// Sends one reminder. A failure that certainly sent nothing is tried once more; one that may
// have reached the service is never resent (the text could arrive, and be paid, twice).
Reminder sendReminder(velmora::Velmora& client, const std::string& number,
                      const std::string& text) {
  velmora::SendRequest request;
  request.from = "3000";
  request.text = text;
  request.to = {number};
  for (int attempt = 0; attempt < 2; ++attempt) {
    const auto outcome = velmora::toFuture(client, &velmora::Velmora::send, request).get();
    if (outcome) return Reminder::Sent;
    if (outcome.failure->kind == velmora::FailureKind::ServiceRefused) return Reminder::Refused;
    if (outcome.failure->requestMayHaveArrived) return Reminder::Uncertain;
  }
  return Reminder::Failed;
}

// Asks the delivery state of a send until it is final, at most `polls` times; the state last
// seen, or nothing when no answer could be read.
std::optional<velmora::StatusCode> followDelivery(velmora::Velmora& client,
                                                  const std::string& groupMessageId, int polls) {
  std::optional<velmora::StatusCode> last;
  for (int poll = 0; poll < polls; ++poll) {
    const auto states =
        velmora::toFuture(client, &velmora::Velmora::groupStatus, groupMessageId).get();
    if (!states || states.value.empty()) return last;
    last = states.value.front().status;
    if (last && velmora::isFinal(*last)) return last;
  }
  return last;
}

// ---- its tests ----

int failures = 0;

void check(bool condition, const std::string& what) {
  std::cout << (condition ? "ok   " : "FAIL ") << what << '\n';
  if (!condition) ++failures;
}

struct Fixture {
  std::shared_ptr<velmora::testing::ScriptedTransport> transport =
      std::make_shared<velmora::testing::ScriptedTransport>();
  velmora::Velmora client{"user", "secret", options()};

  velmora::Options options() const {
    velmora::Options o;
    o.transport = transport;
    o.diagnostics = [](const velmora::Diagnostic&) {};  // keep the library's lines quiet
    return o;
  }
};

void sentOnceWithTheRightBody() {
  Fixture f;
  f.transport->answer("SendMessage",
                      velmora::testing::reply(200, R"({"Code":0,"Result":{"GroupMessageId":"70",)"
                                                   R"("MessageIds":["71"]}})"));
  check(sendReminder(f.client, "09120000001", "Table at 8") == Reminder::Sent, "a success is Sent");
  const auto requests = f.transport->requests();
  check(requests.size() == 1 && requests[0].operation == "SendMessage", "one SendMessage went out");
  const auto body = nlohmann::json::parse(requests[0].request.body, nullptr, false);
  check(body.value("Message", "") == "Table at 8" &&
            body.value("Mobiles", nlohmann::json()) == nlohmann::json{"09120000001"},
        "its body carries the number and the text");
  check(requests[0].request.url.find("/api/smsAPI/SendMessage") != std::string::npos,
        "its URL names the operation");
}

void aServiceRefusalIsNotRetried() {
  Fixture f;
  f.transport->answerAll(
      velmora::testing::reply(200, R"({"Code":3003,"Message":"Credit is low"})"));
  check(sendReminder(f.client, "09120000001", "hi") == Reminder::Refused, "a refusal is Refused");
  check(f.transport->requests().size() == 1, "a refusal is not sent again");
}

void nothingSentIsRetriedOnce() {
  Fixture f;
  f.transport->answerAll(
      velmora::testing::failure(velmora::FailureKind::Connect, false, "Connection refused"));
  check(sendReminder(f.client, "09120000001", "hi") == Reminder::Failed,
        "two refused connections fail");
  check(f.transport->requests().size() == 2, "a send that reached nobody is tried twice");
}

void mayHaveArrivedIsNeverResent() {
  Fixture f;
  f.transport->answerAll(
      velmora::testing::failure(velmora::FailureKind::Timeout, true, "Operation timed out"));
  check(sendReminder(f.client, "09120000001", "hi") == Reminder::Uncertain,
        "a time-out is Uncertain");
  check(f.transport->requests().size() == 1, "a send that may have arrived is not resent");
}

// The service answers "on its way" first and "delivered" next: the follower keeps asking until
// the state is final, and then stops.
void deliveryIsFollowedToAFinalState() {
  Fixture f;
  const auto state = [](int status) {
    return velmora::testing::reply(200, R"({"Code":0,"Result":[{"MessageId":"71",)"
                                        R"("Mobile":"09120000001","Status":)" +
                                            std::to_string(status) + "}]}");
  };
  f.transport->answerInTurn("GroupMessageStatus", {state(2), state(2), state(1)});
  check(followDelivery(f.client, "70", 10) == velmora::StatusCode::Sended,
        "InQueue, then Sended, is followed to Sended");
  check(f.transport->requests().size() == 3, "and no state is asked after the final one");
}

}  // namespace

int main() {
  sentOnceWithTheRightBody();
  aServiceRefusalIsNotRetried();
  nothingSentIsRetriedOnce();
  mayHaveArrivedIsNeverResent();
  deliveryIsFollowedToAFinalState();
  std::cout << (failures == 0 ? "all checks passed" : "some checks failed") << '\n';
  return failures == 0 ? 0 : 1;
}
