// The campaign library in this process: a scripted service behind the client, a clock of the
// test's own and journals in a temporary folder, so that settling, resuming, stopping and
// following are seen at their edges without a network and without waiting.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/through.hpp"
#include "velmora/campaign.hpp"
#include "velmora/testing.hpp"
#include "velmora/velmora.hpp"

namespace velmora {
namespace {

using nlohmann::json;
using testing::RecordedRequest;
using End = campaign::End;

constexpr double kStart = 1'700'000'000;

// Wall-clock time that moves only when the test sets it or a following pass sleeps. Read by
// completions too; set and slept on the test's thread only.
class FakeClock final : public campaign::Clock {
 public:
  double now() override { return time.load(); }
  void sleep(double seconds) override { time.store(time.load() + seconds); }
  std::atomic<double> time{kStart};
};

// What becomes of a send, chosen by its batch's first number.
enum class Fate {
  Accept,       // the service keeps it and answers
  LoseAnswer,   // the service keeps it; the connection drops before the answer
  Drop,         // the connection drops before the service has it
  NeverLeaves,  // the call fails before a byte of it left the process
  NoCode,       // an answer without the service's code
};

HttpResponse answer(long long code, const json& result = nullptr) {
  return testing::reply(200, json{{"Code", code}, {"Message", ""}, {"Result", result}}.dump());
}

// A service behind the scripted transport. It keeps the sends it takes by group id, finds them
// again by it, and answers polls from what it keeps; a test scripts the rest.
class Service {
 public:
  void serve(testing::ScriptedTransport& transport) {
    for (const char* send : {"SendMessage", "SendCorrespondingMessage"}) {
      transport.answerWith(send, [this](const RecordedRequest& r) { return take(r); });
    }
    transport.answerWith("GetGroupMessageId", [this](const RecordedRequest& r) {
      const std::string group = json::parse(r.request.body).at("groupId");
      const auto scripted = lookups.find(group.substr(group.find('-') + 1));
      if (scripted != lookups.end()) return scripted->second;
      const auto kept = groups_.find(group);
      return kept == groups_.end() ? answer(3002) : answer(0, kept->second);
    });
    transport.answerWith("GroupMessageStatus", [this](const RecordedRequest& r) {
      const std::string id = json::parse(r.request.body).at("GroupMessageId");
      json entries = json::array();
      for (const std::string& mobile : messages_.at(id)) {
        const std::vector<long long>& turns = states.count(mobile) ? states[mobile] : inQueue_;
        const std::size_t turn = std::min(polled_[mobile]++, turns.size() - 1);
        entries.push_back(
            {{"MessageId", id + "/" + mobile}, {"Mobile", mobile}, {"Status", turns[turn]}});
      }
      return answer(0, entries);
    });
  }

  // A send under `group` arrives now, as one that a peer kept and delivers late.
  std::string keep(const std::string& group, const std::vector<std::string>& mobiles) {
    const std::string id = std::to_string(++lastId_);
    groups_[group] = id;
    messages_[id] = mobiles;
    return id;
  }

  std::map<std::string, Fate> fates;            // by a batch's first number; Accept otherwise
  std::map<std::string, long long> refusals;    // by a batch's first number: refused with it
  std::map<std::string, HttpResponse> lookups;  // by the group id after the campaign's ("2-r1")
  // The delivery states each poll of a number gives in turn, the last one for good; InQueue
  // otherwise.
  std::map<std::string, std::vector<long long>> states;

 private:
  HttpResponse take(const RecordedRequest& r) {
    const json body = json::parse(r.request.body);
    std::vector<std::string> mobiles;
    for (const json& m : body.value("Mobiles", json::array())) mobiles.push_back(m);
    for (const json& m : body.value("RecipientsMessage", json::array())) {
      mobiles.push_back(m.at("mobile"));
    }
    const std::string& first = mobiles.front();
    if (refusals.count(first)) return answer(refusals[first]);
    const Fate fate = fates.count(first) ? fates[first] : Fate::Accept;
    if (fate == Fate::Drop) return testing::failure(FailureKind::Transport, true, "reset");
    if (fate == Fate::NeverLeaves) return testing::failure(FailureKind::Connect, false, "refused");
    if (fate == Fate::NoCode) return testing::reply(200, R"({"Message":"gateway error"})");
    const std::string id = keep(body.at("UserGroupID").get<std::string>(), mobiles);
    if (fate == Fate::LoseAnswer) return testing::failure(FailureKind::Transport, true, "reset");
    json ids = json::array();
    for (const std::string& m : mobiles) ids.push_back(id + "/" + m);
    return answer(0, {{"GroupMessageId", id}, {"MessageIds", ids}});
  }

  long long lastId_ = 1000;
  std::map<std::string, std::string> groups_;                 // group message id by group id
  std::map<std::string, std::vector<std::string>> messages_;  // numbers by group message id
  std::map<std::string, std::size_t> polled_;
  const std::vector<long long> inQueue_{2};
};

std::string number(std::size_t i) {
  return "0912" + std::to_string(1000000 + i);
}

class CampaignRun : public ::testing::Test {
 protected:
  CampaignRun() { service.serve(*transport); }
  ~CampaignRun() override { std::filesystem::remove_all(folder); }

  // Runs the campaign to `count` numbers in batches of one, one call at a time, on the journal.
  campaign::Summary run(std::size_t count,
                        const std::function<void(campaign::Settings&)>& change = {}) {
    std::vector<campaign::Recipient> recipients;
    for (std::size_t i = 1; i <= count; ++i) {
      recipients.push_back({number(i), "text " + std::to_string(i), std::to_string(i)});
    }
    campaign::Settings s;
    s.sender = "3000";
    s.text = "hi";
    s.journal = journal;
    s.batchSize = 1;
    s.inFlight = 1;
    s.clock = clock;
    s.onNotice = [this](const std::string& line) { notices += line + "\n"; };
    if (change) change(s);
    return campaign::run(client, recipients, s);
  }

  campaign::FollowSummary follow(bool wait, double limit = 600) {
    campaign::FollowSettings f;
    f.wait = wait;
    f.every = 5;
    f.limit = limit;
    f.clock = clock;
    return campaign::follow(client, journal, f);
  }

  // The requests of `operation` from the `from`th on.
  std::vector<json> requests(const std::string& operation, std::size_t from = 0) const {
    std::vector<json> out;
    for (const RecordedRequest& r : transport->requests()) {
      if (r.operation == operation) out.push_back(json::parse(r.request.body));
    }
    out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(std::min(from, out.size())));
    return out;
  }

  // How many sends from the `from`th on carried each number.
  std::map<std::string, int> received(std::size_t from = 0) const {
    std::map<std::string, int> out;
    for (const json& send : requests("SendMessage", from)) {
      for (const json& m : send["Mobiles"]) ++out[m.get<std::string>()];
    }
    return out;
  }

  // The part of the group ids of the lookups from the `from`th on that names the batch.
  std::vector<std::string> lookedUp(std::size_t from) const {
    std::vector<std::string> out;
    for (const json& r : requests("GetGroupMessageId", from)) {
      const std::string group = r["groupId"];
      out.push_back(group.substr(group.find('-') + 1));
    }
    return out;
  }

  // The state of each batch in the journal, by name.
  std::string states() const {
    const campaign::Read<campaign::Record> record = campaign::read(journal);
    std::string out;
    for (const campaign::BatchRecord& b : record.value->batches) {
      out += (out.empty() ? "" : " ") + std::string(campaign::stateName(b.state));
    }
    return out;
  }

  std::string folder = [] {
    char name[] = "/tmp/velmora-campaign-XXXXXX";
    return std::string(::mkdtemp(name));
  }();
  std::string journal = folder + "/campaign.db";
  Service service;
  std::shared_ptr<testing::ScriptedTransport> transport =
      std::make_shared<testing::ScriptedTransport>();
  Velmora client{"user", "secret", test::through(transport)};
  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
  std::string notices;
};

// Sends whose answers never came, looked up by their group ids on later runs. Only the service's
// "no such group" (GroupError) makes a batch not-found, and only from settleSeconds after its
// call ended: sooner, the request may still arrive.
TEST_F(CampaignRun, OnlyAGroupErrorFromSettleSecondsOnMakesABatchNotFound) {
  for (std::size_t i = 1; i <= 5; ++i) service.fates[number(i)] = Fate::Drop;
  service.fates[number(4)] = Fate::LoseAnswer;
  const campaign::Summary first = run(5);
  EXPECT_EQ(first.end, End::Open);
  EXPECT_EQ(first.settledSent, 1u) << "batch 4 arrived; only its answer was lost";
  EXPECT_EQ(first.unknownBatches, (std::vector<std::size_t>{1, 2, 3, 5}));
  EXPECT_EQ(campaign::read(journal).value->batches[3].groupMessageId, "1001");

  clock->time = kStart + 59.5;
  EXPECT_EQ(run(5).unknownBatches, (std::vector<std::size_t>{1, 2, 3, 5}));

  // Exactly settleSeconds later; batch 2's lookup is refused otherwise, batch 3's unreadable.
  clock->time = kStart + 60;
  service.lookups["2"] = answer(5001);
  service.lookups["3"] = answer(0, "");
  const std::size_t asked = requests("GetGroupMessageId").size();
  const campaign::Summary settled = run(5);
  EXPECT_EQ(lookedUp(asked), (std::vector<std::string>{"1", "2", "3", "5", "2", "3"}));
  EXPECT_EQ(settled.settledNotFound, 2u);
  EXPECT_EQ(settled.unknownBatches, (std::vector<std::size_t>{2, 3}));
  EXPECT_EQ(states(), "not-found unknown unknown sent not-found");

  // A lookup without an answer: the service is out of reach for the other batches too.
  service.lookups["2"] = testing::failure(FailureKind::Timeout, true, "no answer");
  const std::size_t before = requests("GetGroupMessageId").size();
  EXPECT_EQ(run(5).unknownBatches, (std::vector<std::size_t>{2, 3}));
  EXPECT_EQ(lookedUp(before), (std::vector<std::string>{"2", "2"}));  // at the start and the end
  EXPECT_NE(notices.find("cannot look up the uncertain batches"), std::string::npos) << notices;
  EXPECT_EQ(requests("SendMessage").size(), 5u) << "a batch that may have arrived was sent again";
}

// Across runs on one journal: what never left is sent, what may have arrived is only named,
// sent and refused batches are skipped. A batch the service does not know goes again only when
// asked, under a group id of its own, so that its first send, should it arrive late, is found.
TEST_F(CampaignRun, AResumeSendsWhatNeverLeftAndResendsWhatTheServiceDoesNotKnow) {
  service.fates = {
      {number(2), Fate::Drop}, {number(3), Fate::NoCode}, {number(4), Fate::NeverLeaves}};
  service.refusals[number(5)] = 1002;  // NumberError: about this batch's own recipients
  const campaign::Summary first = run(6);
  EXPECT_EQ(first.end, End::Open);
  EXPECT_EQ(states(), "sent unknown unknown unsent refused sent");
  struct stat info {};
  ASSERT_EQ(::stat(journal.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u) << "the journal holds every number";

  service.fates.clear();
  service.refusals.clear();
  const campaign::Summary second = run(6);
  EXPECT_EQ(received(6), (std::map<std::string, int>{{number(4), 1}}));
  EXPECT_EQ(second.thisRun.sent, 1u);
  EXPECT_NE(
      notices.find("batch 2 (1 recipients, " + number(2) + " to " + number(2) + ") is unknown"),
      std::string::npos)
      << notices;

  clock->time = kStart + 60;
  const campaign::Summary known = run(6);
  EXPECT_EQ(known.all.notFound, 2u);
  EXPECT_EQ(requests("SendMessage").size(), 7u) << "sent again without resendUnknown";

  const campaign::Summary resent = run(6, [](campaign::Settings& s) { s.resendUnknown = true; });
  EXPECT_EQ(resent.end, End::Refused);
  const std::vector<json> again = requests("SendMessage", 7);
  ASSERT_EQ(again.size(), 2u);
  EXPECT_EQ(again[0]["UserGroupID"], campaign::read(journal).value->batches[1].groupId + "-r1");
  EXPECT_EQ(again[1]["UserGroupID"], campaign::read(journal).value->batches[2].groupId + "-r1");
  // As handed to the transport: the first tries of batches 2 to 4 count too.
  EXPECT_EQ(received(), (std::map<std::string, int>{{number(1), 1},
                                                    {number(2), 2},
                                                    {number(3), 2},
                                                    {number(4), 2},
                                                    {number(5), 1},
                                                    {number(6), 1}}));

  // Batch 2's first send turns up after all: it was delivered twice, and a run and a following
  // both say so.
  service.keep(campaign::read(journal).value->batches[1].groupId, {number(2)});
  const campaign::Summary late = run(6);
  EXPECT_EQ(late.end, End::DeliveredTwice);
  EXPECT_EQ(late.deliveredTwice, std::vector<std::size_t>{2});
  EXPECT_EQ(follow(false).end, campaign::FollowEnd::DeliveredTwice);
  EXPECT_EQ(requests("SendMessage").size(), 9u);
}

// A refusal that every batch would get (about the account, such as its credit; the service; a
// code this version does not know) stops the campaign at once; once fixed, the next run sends
// those batches. A refusal of a batch's own recipients stays, unless asked to send it again.
TEST_F(CampaignRun, ARefusalOfTheWholeCampaignStopsItUntilFixed) {
  service.refusals = {{number(1), 1002}, {number(3), 3003}};  // NumberError, CreditError
  service.fates[number(2)] = Fate::Drop;
  const campaign::Summary stopped = run(5);
  EXPECT_EQ(stopped.end, End::StoppedByRefusal);
  EXPECT_EQ(stopped.stoppedBy, 3003);
  EXPECT_EQ(requests("SendMessage").size(), 3u) << "a batch started after the refusal";
  EXPECT_EQ(stopped.all.unknown, 1u);
  EXPECT_EQ(stopped.all.pending, 2u);
  EXPECT_EQ(stopped.all.refused,
            (std::map<std::string, std::size_t>{{"CreditError", 1}, {"NumberError", 1}}));
  EXPECT_NE(notices.find("(CreditError 3003): top it up"), std::string::npos) << notices;

  service.refusals.clear();
  service.fates.clear();
  const campaign::Summary fixed = run(5);
  EXPECT_EQ(received(3),
            (std::map<std::string, int>{{number(3), 1}, {number(4), 1}, {number(5), 1}}));
  EXPECT_EQ(fixed.end, End::Open) << "batch 2 may have arrived";
  run(5, [](campaign::Settings& s) { s.resendRefused = true; });
  EXPECT_EQ(received(6), (std::map<std::string, int>{{number(1), 1}}));

  struct Case {
    long long code;
    bool oneText;  // with a text per recipient, the text is a batch's own
    bool stops;
  };
  for (const Case& c : {Case{5001, true, true}, Case{4242, true, true}, Case{2006, true, true},
                        Case{2006, false, false}, Case{1002, true, false}}) {
    SCOPED_TRACE(std::to_string(c.code) + (c.oneText ? " one text" : " a text each"));
    service.refusals = {{number(1), c.code}};
    const std::size_t before = transport->requests().size();
    const campaign::Summary summary = run(3, [&](campaign::Settings& s) {
      s.journal.clear();
      if (!c.oneText) s.text.clear();
    });
    EXPECT_EQ(transport->requests().size() - before, c.stops ? 1u : 3u);
    EXPECT_EQ(summary.end, c.stops ? End::StoppedByRefusal : End::Refused);
  }
}

// A stop asked for while batch 3 is under way: it is waited for and recorded, nothing starts
// after it, and the next run sends only the rest.
TEST_F(CampaignRun, AStopLetsTheCallsUnderWayEndAndTheNextRunSendsTheRest) {
  bool stop = false;
  const campaign::Summary stopped = run(5, [&](campaign::Settings& s) {
    s.onProgress = [&](const campaign::Progress& p) { stop = stop || p.done >= 2; };
    s.stopRequested = [&] { return stop; };
  });
  EXPECT_EQ(stopped.end, End::Stopped);
  EXPECT_EQ(states(), "sent sent sent pending pending");
  EXPECT_NE(notices.find("stopped: 3 of 5 batches are settled"), std::string::npos) << notices;
  EXPECT_TRUE(requests("GetGroupMessageId").empty()) << "batch 3's answer was not waited for";
  EXPECT_EQ(run(5).end, End::Sent);
  EXPECT_EQ(received(),
            (std::map<std::string, int>{
                {number(1), 1}, {number(2), 1}, {number(3), 1}, {number(4), 1}, {number(5), 1}}));
}

// No more calls are under way than inFlight allows: the first step starts that many, and the
// first answer is held until it is over. A text per recipient goes with its own number and id.
TEST_F(CampaignRun, InFlightBoundsTheCallsUnderWay) {
  std::promise<void> stepped;
  std::future<void> firstStep = stepped.get_future();
  std::size_t underWay = 0;
  transport->answerWith("SendCorrespondingMessage", [&, held = 0](const RecordedRequest&) mutable {
    if (held++ == 0) {
      firstStep.wait_for(std::chrono::seconds(30));
      underWay = transport->requests().size();
    }
    return answer(0, {{"GroupMessageId", std::to_string(held)}, {"MessageIds", json::array()}});
  });
  bool first = true;
  const campaign::Summary sent = run(10, [&](campaign::Settings& s) {
    s.text.clear();
    s.batchSize = 3;
    s.inFlight = 3;
    s.onProgress = [&](const campaign::Progress&) {
      if (std::exchange(first, false)) stepped.set_value();
    };
  });
  EXPECT_EQ(underWay, 3u);
  const std::vector<json> sends = requests("SendCorrespondingMessage");
  ASSERT_EQ(sends.size(), 4u);
  EXPECT_EQ(sent.end, End::Sent);
  EXPECT_EQ(sends[3]["RecipientsMessage"],
            json::parse(R"([{"id":"10","message":"text 10","mobile":"09121000010"}])"));
}

// Following: the states of every sent message by name, kept in the journal for the report;
// waiting polls what is not final every few seconds of the campaign's clock, up to the limit.
TEST_F(CampaignRun, FollowingCountsTheStatesKeepsThemAndWaitsUpToTheLimit) {
  service.fates[number(5)] = Fate::NeverLeaves;
  run(5, [](campaign::Settings& s) { s.batchSize = 2; });
  service.states = {{number(1), {1}},
                    {number(2), {2, 2, 2, 2, 2, 2, 1}},  // delivered at its seventh poll
                    {number(3), {3}},
                    {number(4), {1}}};
  const campaign::FollowSummary once = follow(false);
  EXPECT_EQ(once.end, campaign::FollowEnd::NotFinal);
  EXPECT_EQ(once.followed, 2u);
  EXPECT_EQ(once.notFollowed, (std::map<std::string, std::size_t>{{"unsent", 1}}));
  EXPECT_EQ(once.messages, 4u);
  EXPECT_EQ(once.final, 3u);
  EXPECT_EQ(once.delivered, 2u);
  EXPECT_EQ(once.states,
            (std::map<std::string, std::size_t>{{"Filtered", 1}, {"InQueue", 1}, {"Sended", 2}}));
  const std::vector<campaign::RecipientReport> report = *campaign::report(journal).value;
  ASSERT_EQ(report.size(), 5u);
  EXPECT_EQ(report[2].mobile, number(3));
  EXPECT_EQ(report[2].state, "Filtered");
  EXPECT_EQ(report[2].status, 3);
  EXPECT_EQ(report[2].messageId, "1002/" + number(3));
  EXPECT_EQ(report[4].state, "unsent");
  EXPECT_FALSE(report[4].status.has_value());

  // Passes at 0, 5 and 10 s; the next would come after the limit. Batch 2, final after the
  // first pass, is not polled again.
  const std::size_t polled = requests("GroupMessageStatus").size();
  EXPECT_EQ(follow(true, 12).end, campaign::FollowEnd::NotFinal);
  EXPECT_EQ(requests("GroupMessageStatus").size() - polled, 4u);
  EXPECT_EQ(clock->now(), kStart + 10);
  const campaign::FollowSummary done = follow(true);
  EXPECT_EQ(done.end, campaign::FollowEnd::Open) << "batch 3 was never sent";
  EXPECT_EQ(done.final, done.messages);
  EXPECT_EQ(clock->now(), kStart + 20);
  EXPECT_EQ(campaign::report(journal).value->at(1).state, "Sended");
}

}  // namespace
}  // namespace velmora
