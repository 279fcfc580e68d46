#include "campaign.hpp"

#include <signal.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <memory>
#include <utility>

#include "progress.hpp"
#include "velmora/text.hpp"

namespace velmora::cli {
namespace {

using campaign::BatchState;
using campaign::stateName;
using nlohmann::json;

// The status when some batches are unknown, unsent or never started.
constexpr int kSomeOpen = 2;
// The status when a refusal that every batch would get stopped the campaign.
constexpr int kStoppedByRefusal = 5;

volatile std::sig_atomic_t stopRequested = 0;

void onStopSignal(int) {
  stopRequested = 1;
}

// Catches SIGINT and SIGTERM while it lives, and then puts back what was there before.
class StopSignals {
 public:
  StopSignals() {
    stopRequested = 0;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousInt_);
    sigaction(SIGTERM, &action, &previousTerm_);
  }
  ~StopSignals() {
    sigaction(SIGINT, &previousInt_, nullptr);
    sigaction(SIGTERM, &previousTerm_, nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  bool raised() const { return stopRequested != 0; }

 private:
  struct sigaction previousInt_ {};
  struct sigaction previousTerm_ {};
};

// Says which rows were taken for an earlier one, so that a merge nobody expected is seen.
void reportMerges(const RecipientList& list, const Settings& settings) {
  if (list.otherForms() > 0) {
    std::string examples;
    for (const OtherForm& o : list.otherFormExamples()) {
      examples += (examples.empty() ? "" : ", ") + o.written + " (" + o.where + ") as " + o.first +
                  " (" + o.firstWhere + ")";
    }
    printError(std::to_string(list.otherForms()) +
                   " numbers repeat an earlier one written in another form and are sent once: " +
                   examples + (list.otherForms() > list.otherFormExamples().size() ? ", ..." : ""),
               settings);
  }
  if (list.repeats() > 0) {
    printError("--allow-repeats: " + std::to_string(list.repeats()) +
                   " rows that repeat a number with another text or an id are dropped; the "
                   "first row of each is sent",
               settings);
  }
}

bool reportProblems(const RecipientList& list, const std::string& text, const Settings& settings) {
  for (const InputProblem& p : list.problems()) {
    printError(p.source + (p.line > 0 ? ":" + std::to_string(p.line) : "") + ": " + p.reason,
               settings);
  }
  if (!list.problems().empty()) {
    printError("nothing was sent: " + std::to_string(list.problems().size()) +
                   " input lines cannot be used",
               settings);
  } else if (list.recipients().empty()) {
    printError("nothing was sent: there is no recipient", settings);
  } else if (!isValidUtf8(text)) {
    printError("nothing was sent: the text is not UTF-8", settings);
  } else {
    return false;
  }
  return true;
}

// Numbers, and "@FILE" items naming files of numbers.
void readNumberArguments(const std::vector<std::string>& arguments, RecipientList& out) {
  std::size_t position = 0;
  for (const std::string& argument : arguments) {
    ++position;
    if (argument.size() > 1 && argument.front() == '@') {
      const std::string path = argument.substr(1);
      readNumbers(readInput(path), path, out);
    } else if (isPhoneNumber(argument)) {
      out.add({argument, {}, {}}, "--to", position);
    } else {
      out.problem("--to", 0, "\"" + argument + "\" is not a phone number or @FILE");
    }
  }
}

}  // namespace

void addCampaignOptions(CLI::App& command, CampaignSettings& settings) {
  command.add_option("--batch", settings.batchSize, "Recipients per call")
      ->capture_default_str()
      ->check(CLI::Range(1, 1000));
  command.add_option("--in-flight", settings.inFlight, "Calls under way at once")
      ->capture_default_str()
      ->check(CLI::Range(1, 64));
  command.add_option("--journal", settings.journal,
                     "SQLite file recording each batch; running the same command with it again "
                     "resumes the campaign and never sends a batch twice");
  command.add_flag("--resend-refused", settings.resendRefused,
                   "With --journal: also send again the batches refused for their own recipients "
                   "(a refusal about the account or the service is always sent again)");
  command.add_flag("--resend-unknown", settings.resendUnknown,
                   "With --journal: also send again the batches that the service, asked by "
                   "their group ids, does not know (not-found); never those that may have "
                   "reached it");
  command
      .add_option("--settle", settings.settle,
                  "Seconds after a batch's call ended from which the service's not knowing its "
                  "group id counts as not-found")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 86400.0));
}

namespace {

// A CSV field, quoted when it holds a separator, a quote or a line break (RFC 4180).
std::string csvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

// Every recipient of the journal with its batch, group id, message id and state, as JSON or CSV.
void printReport(const std::string& path, const std::vector<std::string>& states, bool csv) {
  const campaign::Read<campaign::Record> record = campaign::read(path);
  const campaign::Read<std::vector<campaign::RecipientReport>> all = campaign::report(path);
  if (!record || !all) throw CLI::ValidationError("JOURNAL", record ? all.error : record.error);
  json rows = json::array();
  std::string table = "batch,groupId,mobile,messageId,state,status\r\n";
  for (const campaign::RecipientReport& r : *all.value) {
    if (!states.empty() && std::find(states.begin(), states.end(), r.state) == states.end()) {
      continue;
    }
    rows.push_back({{"batch", r.batch},
                    {"groupId", r.groupId},
                    {"mobile", r.mobile},
                    {"messageId", r.messageId},
                    {"state", r.state},
                    {"status", r.status ? json(*r.status) : json(nullptr)}});
    table += std::to_string(r.batch) + "," + csvField(r.groupId) + "," + csvField(r.mobile) + "," +
             csvField(r.messageId) + "," + r.state + "," +
             (r.status ? std::to_string(*r.status) : "") + "\r\n";
  }
  if (csv) {
    std::fwrite(table.data(), 1, table.size(), stdout);
  } else {
    printJson({{"campaignId", record.value->campaignId}, {"recipients", rows}}, false);
  }
}

void addCampaignReport(CLI::App& campaign) {
  auto* report = campaign.add_subcommand(
      "report",
      "List every recipient with its batch, group id, message id and state (after \"status "
      "--journal\", each message's delivery state by name)");
  auto path = std::make_shared<std::string>();
  auto states = std::make_shared<std::vector<std::string>>();
  auto format = std::make_shared<std::string>("json");
  report->add_option("JOURNAL", *path, "The journal file")->required();
  report->add_option("--state", *states, "Only the recipients in this state; repeatable")
      ->check(CLI::IsMember(reportStates()));
  report->add_option("--format", *format, "json or csv")
      ->capture_default_str()
      ->check(CLI::IsMember({"json", "csv"}));
  // Needs no account: print and end the parse successfully before credentials are checked.
  report->callback([path, states, format] {
    printReport(*path, *states, *format == "csv");
    throw CLI::Success();
  });
}

}  // namespace

std::vector<std::string> reportStates() {
  std::vector<std::string> names;
  for (const StatusCode s :
       {StatusCode::Unknown, StatusCode::Sended, StatusCode::InQueue, StatusCode::Filtered,
        StatusCode::InTelecommunication, StatusCode::NotInTelecommunication,
        StatusCode::NumberError, StatusCode::ServerFull}) {
    names.emplace_back(name(s));
  }
  for (int s = 0; s <= static_cast<int>(BatchState::NotFound); ++s) {
    names.emplace_back(stateName(static_cast<BatchState>(s)));
  }
  return names;
}

void addCampaignShow(CLI::App& app) {
  auto* campaign = app.add_subcommand("campaign", "Read a campaign's journal");
  campaign->require_subcommand(1);
  auto* show = campaign->add_subcommand(
      "show", "Print the batches of a journal as JSON: state, group ids and numbers");
  auto path = std::make_shared<std::string>();
  auto states = std::make_shared<std::vector<std::string>>();
  show->add_option("JOURNAL", *path, "The journal file")->required();
  std::vector<std::string> names;
  for (int s = 0; s <= static_cast<int>(BatchState::NotFound); ++s) {
    names.emplace_back(stateName(static_cast<BatchState>(s)));
  }
  show->add_option("--state", *states, "Only the batches in this state; repeatable")
      ->check(CLI::IsMember(names));
  // Needs no account: print and end the parse successfully before credentials are checked.
  show->callback([path, states] {
    const campaign::Read<campaign::Record> record = campaign::read(*path);
    if (!record) throw CLI::ValidationError("JOURNAL", record.error);
    json batches = json::array();
    for (const campaign::BatchRecord& b : record.value->batches) {
      const std::string state(stateName(b.state));
      if (!states->empty() && std::find(states->begin(), states->end(), state) == states->end()) {
        continue;
      }
      batches.push_back({{"batch", b.batch},
                         {"state", state},
                         {"groupId", b.groupId},
                         {"resends", b.resends},
                         {"groupMessageId", b.groupMessageId},
                         {"mobiles", b.mobiles}});
    }
    printJson({{"campaignId", record.value->campaignId}, {"batches", batches}}, false);
    throw CLI::Success();
  });
  addCampaignReport(*campaign);
}

bool isCampaign(const std::vector<std::string>& to, const CampaignSettings& campaign) {
  return !campaign.journal.empty() || std::any_of(to.begin(), to.end(), [](const std::string& t) {
    return t.rfind('@', 0) == 0;
  });
}

namespace {

// Batches by state, as the summary prints them.
json countsJson(const campaign::StateCounts& c) {
  return {{"sent", c.sent},       {"unknown", c.unknown},    {"unsent", c.unsent},
          {"pending", c.pending}, {"not-found", c.notFound}, {"refused", c.refused}};
}

json summaryJson(const campaign::Summary& s, const RecipientList& list) {
  json out = countsJson(s.all);
  out["thisRun"] = countsJson(s.thisRun);
  out["recipients"] = s.recipients;
  out["duplicates"] = list.duplicates();
  out["batches"] = s.batches;
  out["duplicatesInOtherForm"] = list.otherForms();
  out["repeatsDropped"] = list.repeats();
  out["unknownBatches"] = s.unknownBatches;
  out["deliveredTwice"] = s.deliveredTwice;
  out["settledByLookup"] = {{"sent", s.settledSent}, {"not-found", s.settledNotFound}};
  return out;
}

int exitStatus(campaign::End end) {
  switch (end) {
    case campaign::End::Stopped:
      return kInterrupted;
    case campaign::End::DeliveredTwice:
      return kDeliveredTwice;
    case campaign::End::StoppedByRefusal:
      return kStoppedByRefusal;
    case campaign::End::Open:
      return kSomeOpen;
    case campaign::End::Refused:
      return kRefused;
    case campaign::End::Sent:
      return kSuccess;
    case campaign::End::Unusable:
      break;
  }
  return kUsage;
}

}  // namespace

int runCampaign(Velmora& client, const Settings& settings, const CampaignRequest& request) {
  const CampaignSettings& flags = request.campaign;
  RecipientList list({settings.region, flags.allowRepeats});
  try {
    if (request.command == "send") {
      readNumberArguments(request.to, list);
    } else {
      readCsv(readInput(request.csv), request.csv, list);
    }
  } catch (const std::runtime_error& e) {
    printError(e.what(), settings);
    return kUsage;
  }
  if (reportProblems(list, request.text, settings)) return kRefusedInput;
  reportMerges(list, settings);

  campaign::Settings run;
  run.sender = request.sender;
  run.text = request.command == "send" ? request.text : std::string();
  run.at = request.at;
  run.groupPrefix = request.group;
  run.journal = flags.journal;
  run.batchSize = flags.batchSize;
  run.inFlight = flags.inFlight;
  run.settleSeconds = flags.settle;
  run.resendUnknown = flags.resendUnknown;
  run.resendRefused = flags.resendRefused;
  // The client ends every call by its deadline; the margin covers a completion that is late.
  run.callWaitSeconds = settings.deadline + 30;
  std::optional<Progress> progress;
  // A line ends the progress bar first, so that it stands on a line of its own.
  run.onNotice = [&](const std::string& line) {
    progress.reset();
    printError(line, settings);
  };
  run.onProgress = [&](const campaign::Progress& p) {
    if (!progress) progress.emplace(p.total, settings.verbosity);
    progress->update(p.done);
  };
  StopSignals signals;
  run.stopRequested = [&signals] { return signals.raised(); };
  const campaign::Summary summary = campaign::run(client, list.recipients(), run);
  progress.reset();
  if (summary.end == campaign::End::Unusable) {
    printError(summary.problem, settings);
    return kUsage;
  }
  printAnswer(summaryJson(summary, list), settings);
  return exitStatus(summary.end);
}

}  // namespace velmora::cli
