// Proves that an installed campaign library links and runs, its SQLite journal included: a
// campaign of 25 numbers in batches of 10 against a port where nothing listens. No call can
// leave this process, so every batch must end unsent and the campaign open; the journal, read
// back, must hold the three batches with their numbers; and a second run with the same journal
// must resume the same campaign rather than start another.

#include <velmora/campaign.hpp>
#include <velmora/velmora.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace campaign = velmora::campaign;

namespace {

int fail(const std::string& what) {
  std::fprintf(stderr, "campaign_consumer: %s\n", what.c_str());
  return 1;
}

}  // namespace

int main() {
  if (!campaign::isPhoneNumber("+989120000001") || campaign::isPhoneNumber("12")) {
    return fail("isPhoneNumber reads +989120000001 or 12 wrongly");
  }
  char folder[] = "/tmp/velmora-campaign-consumer-XXXXXX";
  if (mkdtemp(folder) == nullptr) return fail("cannot make a temporary folder");
  const std::string journal = std::string(folder) + "/journal.db";

  std::vector<campaign::Recipient> recipients;
  for (int i = 0; i < 25; ++i) recipients.push_back({"0935000" + std::to_string(1000 + i), "", ""});
  velmora::Options options;
  options.restBaseUrl = "https://127.0.0.1:1";  // nothing listens on port 1
  options.timeout = std::chrono::seconds(10);
  options.diagnostics = [](const velmora::Diagnostic&) {};
  velmora::Velmora client("user", "password", options);
  campaign::Settings settings;
  settings.sender = "3000";
  settings.text = "hello";
  settings.journal = journal;
  settings.batchSize = 10;
  settings.inFlight = 2;

  const campaign::Summary first = campaign::run(client, recipients, settings);
  const campaign::Read<campaign::Record> record = campaign::read(journal);
  const campaign::Summary second = campaign::run(client, recipients, settings);
  std::filesystem::remove_all(folder);

  if (first.end != campaign::End::Open || first.batches != 3 || first.all.unsent != 3) {
    return fail("the first run did not end open with 3 unsent batches: " + first.problem);
  }
  if (first.campaignId.size() != 8) return fail("the campaign id is not eight hex digits");
  if (!record) return fail("the journal cannot be read: " + record.error);
  const std::vector<campaign::BatchRecord>& batches = record.value->batches;
  if (record.value->campaignId != first.campaignId || batches.size() != 3 ||
      batches[2].mobiles.size() != 5 || batches[2].mobiles.back() != "09350001024") {
    return fail("the journal does not hold the campaign's three batches and their numbers");
  }
  for (const campaign::BatchRecord& b : batches) {
    if (b.state != campaign::BatchState::Unsent) {
      return fail("batch " + std::to_string(b.batch) + " is " +
                  std::string(campaign::stateName(b.state)) + " in the journal, not unsent");
    }
  }
  if (second.campaignId != first.campaignId || second.thisRun.unsent != 3) {
    return fail("the second run did not resume the campaign and send its 3 batches again");
  }
  std::printf("campaign_consumer: 3 batches unsent, journaled and resumed\n");
  return 0;
}
