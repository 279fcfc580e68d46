// A campaign sent from an application: one text to 2,000 numbers through Velmora::campaign, in
// batches of 10, two calls at once, kept in a journal. Kill the program at any moment and start
// it again with the same journal: it resumes. Batches sent are skipped; those under way when it
// died are looked up by their group ids, and one the service does not know is sent again only
// once it has been unknown long enough (`settleSeconds`) to count as never sent.
// Usage: campaign FROM_LINE JOURNAL     (account: VELMORA_USER, VELMORA_PASSWORD)

#include <velmora/campaign.hpp>
#include <velmora/velmora.hpp>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "environment.hpp"

namespace {

namespace campaign = velmora::campaign;

const char* describe(campaign::End end) {
  switch (end) {
    case campaign::End::Sent:
      return "every batch sent";
    case campaign::End::Refused:
      return "settled, some batches refused for their own recipients";
    case campaign::End::Open:
      return "open: some batches unsent or uncertain, run again later";
    case campaign::End::Stopped:
      return "stopped: run again to resume";
    case campaign::End::StoppedByRefusal:
      return "stopped by a refusal about the whole campaign";
    case campaign::End::DeliveredTwice:
      return "a batch was delivered twice";
    case campaign::End::Unusable:
      return "nothing sent";
  }
  return "?";
}

void printSummary(const campaign::Summary& s) {
  if (s.end == campaign::End::Unusable) std::cout << s.problem << '\n';
  std::cout << "campaign " << s.campaignId << ": " << s.all.sent << " of " << s.batches
            << " batches sent, " << s.thisRun.sent
            << " by this run (found by lookup: " << s.settledSent << " sent, " << s.settledNotFound
            << " not found); " << describe(s.end) << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: campaign FROM_LINE JOURNAL\n";
    return 64;
  }
  // 09350000000 to 09350001999. The same list on every run: the journal refuses another.
  std::vector<campaign::Recipient> recipients;
  for (int i = 0; i < 2000; ++i) {
    char mobile[16];
    std::snprintf(mobile, sizeof mobile, "0935%07d", i);
    recipients.push_back({mobile, "", ""});
  }

  velmora::Options options = optionsFromEnvironment();
  // Every request body lists its numbers; keep those lines out and show the rest.
  options.diagnostics = [](const velmora::Diagnostic& d) {
    if (d.kind != velmora::DiagnosticKind::RequestBody) std::cerr << d.line << '\n';
  };
  velmora::Velmora client(fromEnvironment("VELMORA_USER"), fromEnvironment("VELMORA_PASSWORD"),
                          options);

  campaign::Settings settings;
  settings.sender = argv[1];
  settings.text = "Doors open at 8";
  settings.journal = argv[2];
  settings.batchSize = 10;
  settings.inFlight = 2;
  // Against the service keep the default of 60 s: a proxy on the way may hold a request for a
  // while. The sandbox runs on this machine, with nothing in between.
  settings.settleSeconds = 5;
  settings.resendUnknown = true;  // a batch found not-found goes out again, under a new group id
  settings.onNotice = [](const std::string& line) { std::cout << line << std::endl; };
  std::size_t shown = 0;
  settings.onProgress = [&shown](const campaign::Progress& p) {
    if (p.done == shown) return;
    shown = p.done;
    std::cout << "progress: " << p.done << " of " << p.total << " recipients" << std::endl;
  };

  campaign::Summary summary = campaign::run(client, recipients, settings);
  printSummary(summary);
  // A run that follows a kill finds the batches left under way uncertain. Those the service
  // knows are sent; the others become not-found only `settleSeconds` after that, and then go out
  // again on the next run. So an open campaign gets one more run, after waiting that long.
  if (summary.end == campaign::End::Open) {
    if (!summary.unknownBatches.empty()) {
      std::cout << summary.unknownBatches.size() << " batches uncertain; waiting "
                << settings.settleSeconds << " s to settle them" << std::endl;
      std::this_thread::sleep_for(std::chrono::duration<double>(settings.settleSeconds));
    }
    shown = 0;
    summary = campaign::run(client, recipients, settings);
    printSummary(summary);
  }
  return summary.end == campaign::End::Sent ? 0 : 1;
}
