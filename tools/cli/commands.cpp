// The subcommands that make one call each and print its answer.

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "campaign.hpp"
#include "cli.hpp"
#include "follow.hpp"

namespace velmora::cli {
namespace {

// The values of the subcommands' own flags; shared by the callbacks that the app keeps.
struct Arguments {
  std::string from;
  std::string text;
  std::vector<std::string> to;
  std::string group;
  std::int64_t at = 0;
  std::vector<std::string> messages;
  std::int64_t receivePort = 0;
  std::int64_t sendPort = 0;
  std::string id;
  std::vector<std::string> ids;
  std::string number;
  std::string code;
  std::string footer;
  std::int64_t start = 0;
  std::optional<std::int64_t> end;
  std::int64_t page = 1;
  bool wait = false;
  WaitLimits waitLimits;
  std::string followJournal;
  bool allPages = false;
  std::int64_t maxPages = 1000;
  std::string csv;
  CampaignSettings campaign;
};

using ResultStart = std::function<void(Velmora&, ResultCompletion)>;

// A JSON operation: exit 0 on Success, 1 on any other code, an unknown one included.
int resultCall(Velmora& client, const Settings& settings, const ResultStart& start) {
  return runCall<std::shared_ptr<Result>>(
      settings, [&](ResultCompletion done) { start(client, std::move(done)); },
      [](const std::shared_ptr<Result>& r) { return resultJson(*r); },
      [](const std::shared_ptr<Result>& r) {
        return r->Code() == ResultCode::Success ? kSuccess : kRefused;
      });
}

// Makes the chosen subcommand's action a JSON operation.
void onResult(CLI::App* sub, Action& action, ResultStart start) {
  sub->callback([&action, start = std::move(start)] {
    action = [start](Velmora& client, const Settings& settings) {
      return resultCall(client, settings, start);
    };
  });
}

// The service answers a message id, or a refusal as a negative number.
int numberCall(Velmora& client, const Settings& settings,
               const std::function<void(Velmora&, NumberCompletion)>& start) {
  using Number = std::optional<std::int64_t>;
  return runCall<Number>(
      settings, [&](NumberCompletion done) { start(client, std::move(done)); },
      [](const Number& n) { return nlohmann::json(*n); },
      [](const Number& n) { return *n >= 0 ? kSuccess : kRefused; });
}

// "[ID:]MOBILE=TEXT" into a record; the id defaults to the position, counted from 1.
RecipientsMessage recipient(const std::string& argument, std::size_t position) {
  const auto equals = argument.find('=');
  if (equals == std::string::npos || equals == 0) {
    throw CLI::ValidationError("--message", "\"" + argument + "\" is not [ID:]MOBILE=TEXT");
  }
  const std::string address = argument.substr(0, equals);
  const auto colon = address.find(':');
  RecipientsMessage m;
  m.setId(colon == std::string::npos ? std::to_string(position) : address.substr(0, colon));
  m.setMobile(colon == std::string::npos ? address : address.substr(colon + 1));
  m.setMessage(argument.substr(equals + 1));
  return m;
}

std::vector<RecipientsMessage> recipients(const std::vector<std::string>& arguments) {
  std::vector<RecipientsMessage> out;
  for (const std::string& argument : arguments) out.push_back(recipient(argument, out.size() + 1));
  return out;
}

CLI::Option* addMessages(CLI::App& sub, std::vector<std::string>& arguments) {
  return sub.add_option("-m,--message", arguments,
                        "A recipient and its text as [ID:]MOBILE=TEXT; repeatable. The id "
                        "defaults to the position (1, 2, ...)");
}

// "send" and "send-each" run as a campaign when their recipients come from files or a journal
// is given, and as the one call `single` otherwise.
void onSend(CLI::App* sub, Action& action, const std::shared_ptr<Arguments>& a,
            ResultStart single) {
  const std::string command = sub->get_name();
  sub->callback([&action, a, command, single = std::move(single)] {
    const bool campaign = command == "send" ? isCampaign(a->to, a->campaign) : !a->csv.empty();
    if (!campaign) {
      action = [single](Velmora& client, const Settings& settings) {
        return resultCall(client, settings, single);
      };
      return;
    }
    action = [a, command](Velmora& client, const Settings& settings) {
      return runCampaign(client, settings,
                         {command, a->from, a->text, a->to, a->csv, a->group, a->at, a->campaign});
    };
  });
}

void addGroupLabel(CLI::App& sub, Arguments& a) {
  sub.add_option("-g,--group", a.group, "Your own label for this send (UserGroupID)");
}

void addSends(CLI::App& app, Action& action, const std::shared_ptr<Arguments>& a) {
  auto* send = app.add_subcommand("send", "Send one text to one or more numbers (SendMessage)");
  send->add_option("-f,--from", a->from, "The line to send from")->required();
  send->add_option("-t,--text", a->text, "The text")->required();
  send->add_option("--to", a->to,
                   "Recipient numbers; repeatable or comma-separated. @FILE reads a number a line "
                   "from FILE (@- standard input) and sends a campaign in batches")
      ->required()
      ->delimiter(',');
  addGroupLabel(*send, *a);
  send->add_option("--at", a->at, "Send time as Unix seconds; 0 sends now")->capture_default_str();
  addCampaignOptions(*send, a->campaign);
  onSend(send, action, a, [a](Velmora& c, ResultCompletion done) {
    c.SendMessage(a->from, a->text, a->to, a->group, a->at, std::move(done));
  });

  auto* each = app.add_subcommand("send-each",
                                  "Send each recipient its own text (SendCorrespondingMessage)");
  each->add_option("-f,--from", a->from, "The line to send from")->required();
  auto* messages = addMessages(*each, a->messages);
  auto* csv = each->add_option("--csv", a->csv,
                               "CSV file (- standard input) with the header mobile,message and "
                               "optionally id; sends a campaign in batches");
  csv->excludes(messages);
  addGroupLabel(*each, *a);
  addCampaignOptions(*each, a->campaign);
  each->get_option("--journal")->needs(csv);
  each->add_flag("--allow-repeats", a->campaign.allowRepeats,
                 "Send the first of the rows that give one number another text or repeat an "
                 "id, and count the others, instead of refusing the file")
      ->needs(csv);
  onSend(each, action, a, [a](Velmora& c, ResultCompletion done) {
    c.SendCorrespondingMessage(a->from, recipients(a->messages), a->group, std::move(done));
  });
  each->parse_complete_callback([a] {
    if (a->messages.empty() && a->csv.empty()) {
      throw CLI::RequiredError("send-each needs --message or --csv");
    }
    recipients(a->messages);
  });

  auto* port = app.add_subcommand(
      "send-port", "Send each recipient its own text through ports (SendMessageToPort)");
  port->add_option("-f,--from", a->from, "The line to send from")->required();
  port->add_option("--receive-port", a->receivePort, "The receiving port number")->required();
  port->add_option("--send-port", a->sendPort, "The sending port number")->required();
  addMessages(*port, a->messages)->required();
  addGroupLabel(*port, *a);
  onResult(port, action, [a](Velmora& c, ResultCompletion done) {
    c.SendMessageToPort(a->from, a->receivePort, a->sendPort, a->group, recipients(a->messages),
                        std::move(done));
  });
  port->parse_complete_callback([a] { recipients(a->messages); });
}

void addQueries(CLI::App& app, Action& action, const std::shared_ptr<Arguments>& a) {
  auto* status = app.add_subcommand(
      "status", "Delivery states of a send, by its group message id (GroupMessageStatus)");
  status->add_option("GROUP_MESSAGE_ID", a->id, "The GroupMessageId a send answered");
  status->add_option("--journal", a->followJournal,
                     "A campaign's journal: follow every batch it sent, and print one summary "
                     "by delivery state");
  status->add_flag("--wait", a->wait, "Poll until every message is in a final state");
  status->add_option("--every", a->waitLimits.every, "Seconds between polls with --wait")
      ->capture_default_str()
      ->check(secondsInRange());
  status->add_option("--limit", a->waitLimits.limit, "Seconds --wait polls before giving up")
      ->capture_default_str()
      ->check(secondsInRange());
  status->callback([&action, a] {
    if (a->id.empty() == a->followJournal.empty()) {
      throw CLI::ValidationError("status", "give a GROUP_MESSAGE_ID or --journal, not both");
    }
    action = [a](Velmora& client, const Settings& settings) {
      if (!a->followJournal.empty()) {
        return followCampaign(client, settings, a->followJournal, a->waitLimits, a->wait);
      }
      if (a->wait) return waitForStatus(client, settings, a->id, a->waitLimits);
      return resultCall(client, settings, [a](Velmora& c, ResultCompletion done) {
        c.GroupMessageStatus(a->id, std::move(done));
      });
    };
  });

  auto* messageStatus = app.add_subcommand(
      "message-status", "Delivery states of messages, by their ids (CorrespondingMessageStatus)");
  messageStatus->add_option("MESSAGE_ID", a->ids, "Message ids a send answered")->required();
  onResult(messageStatus, action, [a](Velmora& c, ResultCompletion done) {
    c.CorrespondingMessageStatus(a->ids, std::move(done));
  });

  auto* groupId = app.add_subcommand(
      "group-id", "The group message id of your latest send with a label (GetGroupMessageId)");
  groupId->add_option("GROUP", a->group, "The label given to the send (UserGroupID)")->required();
  onResult(groupId, action, [a](Velmora& c, ResultCompletion done) {
    c.GetGroupMessageId(a->group, std::move(done));
  });

  auto* inbox =
      app.add_subcommand("inbox", "One page of the messages received on a line (ReceiveMessages)");
  inbox->add_option("LINE", a->number, "The line whose inbox to read")->required();
  inbox->add_option("--start", a->start, "Earliest arrival, Unix seconds")->capture_default_str();
  inbox->add_option("--end", a->end, "Latest arrival, Unix seconds (default: now)");
  inbox->add_option("--page", a->page, "Page number, from 1")->capture_default_str();
  inbox->add_flag("--all", a->allPages, "Follow the pages until an empty one");
  inbox->add_option("--max-pages", a->maxPages, "The most pages --all reads")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  inbox->callback([&action, a] {
    const std::int64_t until = a->end ? *a->end : static_cast<std::int64_t>(std::time(nullptr));
    const InboxPages pages{a->number, a->start, until, a->page, a->allPages ? a->maxPages : 1};
    action = [pages, all = a->allPages](Velmora& client, const Settings& settings) {
      if (all) return readAllPages(client, settings, pages);
      return resultCall(client, settings, [pages](Velmora& c, ResultCompletion done) {
        c.ReceiveMessages(pages.line, pages.start, pages.end, pages.firstPage, std::move(done));
      });
    };
  });

  onResult(app.add_subcommand("credit", "The account's credit (GetCredit)"), action,
           [](Velmora& c, ResultCompletion done) { c.GetCredit(std::move(done)); });
  onResult(app.add_subcommand("prices", "The account's prices (GetPrices)"), action,
           [](Velmora& c, ResultCompletion done) { c.GetPrices(std::move(done)); });

  auto* whitelist =
      app.add_subcommand("whitelist", "Look numbers up in the white list (ShowWhiteList)");
  whitelist->add_option("NUMBER", a->to, "Numbers to look up")->required();
  onResult(whitelist, action,
           [a](Velmora& c, ResultCompletion done) { c.ShowWhiteList(a->to, std::move(done)); });
}

void addCodes(CLI::App& app, Action& action, const std::shared_ptr<Arguments>& a) {
  auto* codes = app.add_subcommand("code", "Verification codes");
  codes->require_subcommand(1);
  auto* codeSend = codes->add_subcommand(
      "send",
      "Have the service make a code and send it to a number (AutoSendCode); prints the "
      "message id, or a negative refusal code");
  codeSend->add_option("NUMBER", a->number, "The mobile number")->required();
  codeSend->add_option("--footer", a->footer, "Text below the code");
  codeSend->callback([&action, a] {
    action = [a](Velmora& client, const Settings& settings) {
      return numberCall(client, settings, [a](Velmora& c, NumberCompletion done) {
        c.AutoSendCode(a->number, a->footer, std::move(done));
      });
    };
  });

  auto* codeCheck = codes->add_subcommand(
      "check", "Check a code a user typed (CheckSendCode); prints true or false");
  codeCheck->add_option("NUMBER", a->number, "The mobile number")->required();
  codeCheck->add_option("CODE", a->code, "The code to check")->required();
  codeCheck->callback([&action, a] {
    action = [a](Velmora& client, const Settings& settings) {
      using Truth = std::optional<bool>;
      return runCall<Truth>(
          settings,
          [&](TruthCompletion done) { client.CheckSendCode(a->number, a->code, std::move(done)); },
          [](const Truth& t) { return nlohmann::json(*t); },
          [](const Truth& t) { return *t ? kSuccess : kRefused; });
    };
  });

  auto* codeMessage = codes->add_subcommand(
      "message",
      "Send a code of your own to a number (SendMessageWithCode); prints the message "
      "id, or a negative refusal code");
  codeMessage->add_option("NUMBER", a->number, "The mobile number")->required();
  codeMessage->add_option("CODE", a->code, "The code to send")->required();
  codeMessage->callback([&action, a] {
    action = [a](Velmora& client, const Settings& settings) {
      return numberCall(client, settings, [a](Velmora& c, NumberCompletion done) {
        c.SendMessageWithCode(a->number, a->code, std::move(done));
      });
    };
  });
}

}  // namespace

void addCommands(CLI::App& app, Action& action) {
  const auto arguments = std::make_shared<Arguments>();
  addSends(app, action, arguments);
  addQueries(app, action, arguments);
  addCodes(app, action, arguments);
  addCampaignShow(app);
}

}  // namespace velmora::cli
