// velmora: the command-line client of the SMS-panel service, one subcommand per operation.
//
// Standard output carries only this program's JSON answer; the library's own diagnostic lines
// (request bodies, failures) are sent to standard error. Exit status: 0 success, 1 a refusal by
// the service (or a false check), 2 a failed exchange, 64 bad usage.

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "velmora/future.hpp"
#include "velmora/velmora.hpp"

namespace {

using nlohmann::json;
using velmora::Velmora;

constexpr int kSuccess = 0;
constexpr int kRefused = 1;
constexpr int kFailed = 2;
constexpr int kUsage = 64;

// Writes the program's answer to the standard output it was started with, whatever the
// library has made of file descriptor 1 since.
class Answer {
 public:
  // Keeps the real standard output for the answer and points descriptor 1, where the library
  // prints, at standard error.
  Answer() {
    std::cout.flush();
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    if (saved >= 0) out_ = ::fdopen(saved, "w");
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
  }
  ~Answer() {
    if (out_ != nullptr) std::fclose(out_);
  }
  Answer(const Answer&) = delete;
  Answer& operator=(const Answer&) = delete;

  void write(const json& value, bool pretty) {
    if (out_ == nullptr) return;
    const std::string text = value.dump(pretty ? 2 : -1) + "\n";
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
  }

 private:
  FILE* out_ = nullptr;
};

struct Settings {
  std::string user;
  std::string password;
  std::string restUrl;
  std::string soapUrl;
  std::string soapNamespace;
  std::string caFile;
  double timeout = 60;
  bool pretty = false;
};

// Waits for one operation and turns its outcome into the answer and the exit status.
class Runner {
 public:
  Runner(Velmora& client, Answer& answer, const Settings& settings)
      : client_(client), answer_(answer), settings_(settings) {}

  Velmora& client() { return client_; }

  int result(const std::function<void(velmora::ResultCompletion)>& start) {
    auto future = velmora::toFuture<std::shared_ptr<velmora::Result>>(start);
    if (!arrived(future)) return kFailed;
    const std::shared_ptr<velmora::Result> result = future.get();
    if (!result) return failed();
    answer_.write({{"Code", velmora::rawValue(result->Code())},
                   {"CodeName", velmora::name(result->Code())},
                   {"Message", result->Message()},
                   {"Result", result->Payload()}},
                  settings_.pretty);
    return result->Code() == velmora::ResultCode::Success ? kSuccess : kRefused;
  }

  // The service answers a message id, or a refusal as a negative number.
  int number(const std::function<void(velmora::NumberCompletion)>& start) {
    auto future = velmora::toFuture<std::optional<std::int64_t>>(start);
    if (!arrived(future)) return kFailed;
    const std::optional<std::int64_t> value = future.get();
    if (!value) return failed();
    answer_.write(*value, settings_.pretty);
    return *value >= 0 ? kSuccess : kRefused;
  }

  int truth(const std::function<void(velmora::TruthCompletion)>& start) {
    auto future = velmora::toFuture<std::optional<bool>>(start);
    if (!arrived(future)) return kFailed;
    const std::optional<bool> value = future.get();
    if (!value) return failed();
    answer_.write(*value, settings_.pretty);
    return *value ? kSuccess : kRefused;
  }

 private:
  // The library ends every exchange within its idle time-out; the margin covers an answer
  // that keeps trickling in.
  template <class Future>
  bool arrived(Future& future) {
    const auto limit = std::chrono::duration<double>(settings_.timeout) + std::chrono::seconds(60);
    if (future.wait_for(limit) == std::future_status::ready) return true;
    std::cerr << "velmora: no answer within " << static_cast<long>(limit.count()) << " s\n";
    answer_.write(nullptr, false);
    return false;
  }

  int failed() {
    std::cerr << "velmora: the exchange failed (see the lines above)\n";
    answer_.write(nullptr, false);
    return kFailed;
  }

  Velmora& client_;
  Answer& answer_;
  const Settings& settings_;
};

// "[ID:]MOBILE=TEXT" into a record; the id defaults to the position, counted from 1.
velmora::RecipientsMessage recipient(const std::string& argument, std::size_t position) {
  const auto equals = argument.find('=');
  if (equals == std::string::npos || equals == 0) {
    throw CLI::ValidationError("--message", "\"" + argument + "\" is not [ID:]MOBILE=TEXT");
  }
  const std::string address = argument.substr(0, equals);
  const auto colon = address.find(':');
  velmora::RecipientsMessage m;
  m.setId(colon == std::string::npos ? std::to_string(position) : address.substr(0, colon));
  m.setMobile(colon == std::string::npos ? address : address.substr(colon + 1));
  m.setMessage(argument.substr(equals + 1));
  return m;
}

std::vector<velmora::RecipientsMessage> recipients(const std::vector<std::string>& arguments) {
  std::vector<velmora::RecipientsMessage> out;
  for (const std::string& argument : arguments) out.push_back(recipient(argument, out.size() + 1));
  return out;
}

void addMessages(CLI::App& sub, std::vector<std::string>& arguments) {
  sub.add_option("-m,--message", arguments,
                 "A recipient and its text as [ID:]MOBILE=TEXT; repeatable. The id defaults to the "
                 "position (1, 2, ...)")
      ->required();
}

using Action = std::function<int(Runner&)>;

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "velmora: the command-line client of the SMS-panel service.\n"
      "Prints the service's answer as JSON on standard output: for the message and account\n"
      "operations {\"Code\",\"CodeName\",\"Message\",\"Result\"}, for the code operations the\n"
      "number or truth value, and null when the exchange failed. The library's diagnostic lines\n"
      "go to standard error.\n"
      "Exit status: 0 success, 1 refused by the service or a false check, 2 exchange failed,\n"
      "64 bad usage."};
  app.require_subcommand(1);
  app.fallthrough();
  Settings s;
  app.add_option("-u,--user", s.user, "Account user name")->envname("VELMORA_USER");
  app.add_option("-p,--password", s.password, "Account password")->envname("VELMORA_PASSWORD");
  app.add_option("--rest-url", s.restUrl, "HTTPS base URL of the JSON operations")
      ->envname("VELMORA_REST_URL");
  app.add_option("--soap-url", s.soapUrl, "URL of the SOAP endpoint (.../fastsend.asmx)")
      ->envname("VELMORA_SOAP_URL");
  app.add_option("--namespace", s.soapNamespace, "Service namespace URI of the SOAP operations")
      ->envname("VELMORA_NAMESPACE");
  app.add_option("--cacert", s.caFile, "PEM file of the certificate authorities to trust")
      ->envname("VELMORA_CACERT")
      ->check(CLI::ExistingFile);
  app.add_option("--timeout", s.timeout, "Seconds a request may make no progress")
      ->capture_default_str()
      ->check(CLI::Range(0.001, 3600.0));
  app.add_flag("--pretty", s.pretty, "Indent the JSON answer");

  Action action;
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

  auto* send = app.add_subcommand("send", "Send one text to one or more numbers (SendMessage)");
  send->add_option("-f,--from", from, "The line to send from")->required();
  send->add_option("-t,--text", text, "The text")->required();
  send->add_option("--to", to, "Recipient numbers; repeatable or comma-separated")
      ->required()
      ->delimiter(',');
  send->add_option("-g,--group", group, "Your own label for this send (UserGroupID)");
  send->add_option("--at", at, "Send time as Unix seconds; 0 sends now")->capture_default_str();
  send->callback([&] {
    action = [&](Runner& r) {
      return r.result(
          [&](auto done) { r.client().SendMessage(from, text, to, group, at, std::move(done)); });
    };
  });

  auto* each = app.add_subcommand("send-each",
                                  "Send each recipient its own text (SendCorrespondingMessage)");
  each->add_option("-f,--from", from, "The line to send from")->required();
  addMessages(*each, messages);
  each->add_option("-g,--group", group, "Your own label for this send (UserGroupID)");
  each->callback([&] {
    const auto list = recipients(messages);
    action = [&, list](Runner& r) {
      return r.result([&](auto done) {
        r.client().SendCorrespondingMessage(from, list, group, std::move(done));
      });
    };
  });

  auto* port = app.add_subcommand(
      "send-port", "Send each recipient its own text through ports (SendMessageToPort)");
  port->add_option("-f,--from", from, "The line to send from")->required();
  port->add_option("--receive-port", receivePort, "The receiving port number")->required();
  port->add_option("--send-port", sendPort, "The sending port number")->required();
  addMessages(*port, messages);
  port->add_option("-g,--group", group, "Your own label for this send (UserGroupID)");
  port->callback([&] {
    const auto list = recipients(messages);
    action = [&, list](Runner& r) {
      return r.result([&](auto done) {
        r.client().SendMessageToPort(from, receivePort, sendPort, group, list, std::move(done));
      });
    };
  });

  auto* status = app.add_subcommand(
      "status", "Delivery states of a send, by its group message id (GroupMessageStatus)");
  status->add_option("GROUP_MESSAGE_ID", id, "The GroupMessageId a send answered")->required();
  status->callback([&] {
    action = [&](Runner& r) {
      return r.result([&](auto done) { r.client().GroupMessageStatus(id, std::move(done)); });
    };
  });

  auto* messageStatus = app.add_subcommand(
      "message-status", "Delivery states of messages, by their ids (CorrespondingMessageStatus)");
  messageStatus->add_option("MESSAGE_ID", ids, "Message ids a send answered")->required();
  messageStatus->callback([&] {
    action = [&](Runner& r) {
      return r.result(
          [&](auto done) { r.client().CorrespondingMessageStatus(ids, std::move(done)); });
    };
  });

  auto* groupId = app.add_subcommand(
      "group-id", "The group message id of your latest send with a label (GetGroupMessageId)");
  groupId->add_option("GROUP", group, "The label given to the send (UserGroupID)")->required();
  groupId->callback([&] {
    action = [&](Runner& r) {
      return r.result([&](auto done) { r.client().GetGroupMessageId(group, std::move(done)); });
    };
  });

  auto* inbox =
      app.add_subcommand("inbox", "One page of the messages received on a line (ReceiveMessages)");
  inbox->add_option("LINE", number, "The line whose inbox to read")->required();
  inbox->add_option("--start", start, "Earliest arrival, Unix seconds")->capture_default_str();
  inbox->add_option("--end", end, "Latest arrival, Unix seconds (default: now)");
  inbox->add_option("--page", page, "Page number, from 1")->capture_default_str();
  inbox->callback([&] {
    action = [&](Runner& r) {
      const std::int64_t until = end ? *end : static_cast<std::int64_t>(std::time(nullptr));
      return r.result([&, until](auto done) {
        r.client().ReceiveMessages(number, start, until, page, std::move(done));
      });
    };
  });

  app.add_subcommand("credit", "The account's credit (GetCredit)")->callback([&] {
    action = [](Runner& r) {
      return r.result([&](auto done) { r.client().GetCredit(std::move(done)); });
    };
  });
  app.add_subcommand("prices", "The account's prices (GetPrices)")->callback([&] {
    action = [](Runner& r) {
      return r.result([&](auto done) { r.client().GetPrices(std::move(done)); });
    };
  });

  auto* whitelist =
      app.add_subcommand("whitelist", "Look numbers up in the white list (ShowWhiteList)");
  whitelist->add_option("NUMBER", to, "Numbers to look up")->required();
  whitelist->callback([&] {
    action = [&](Runner& r) {
      return r.result([&](auto done) { r.client().ShowWhiteList(to, std::move(done)); });
    };
  });

  auto* codes = app.add_subcommand("code", "Verification codes");
  codes->require_subcommand(1);
  auto* codeSend = codes->add_subcommand(
      "send",
      "Have the service make a code and send it to a number (AutoSendCode); prints the "
      "message id, or a negative refusal code");
  codeSend->add_option("NUMBER", number, "The mobile number")->required();
  codeSend->add_option("--footer", footer, "Text below the code");
  codeSend->callback([&] {
    action = [&](Runner& r) {
      return r.number([&](auto done) { r.client().AutoSendCode(number, footer, std::move(done)); });
    };
  });
  auto* codeCheck = codes->add_subcommand(
      "check", "Check a code a user typed (CheckSendCode); prints true or false");
  codeCheck->add_option("NUMBER", number, "The mobile number")->required();
  codeCheck->add_option("CODE", code, "The code to check")->required();
  codeCheck->callback([&] {
    action = [&](Runner& r) {
      return r.truth([&](auto done) { r.client().CheckSendCode(number, code, std::move(done)); });
    };
  });
  auto* codeMessage = codes->add_subcommand(
      "message",
      "Send a code of your own to a number (SendMessageWithCode); prints the message "
      "id, or a negative refusal code");
  codeMessage->add_option("NUMBER", number, "The mobile number")->required();
  codeMessage->add_option("CODE", code, "The code to send")->required();
  codeMessage->callback([&] {
    action = [&](Runner& r) {
      return r.number(
          [&](auto done) { r.client().SendMessageWithCode(number, code, std::move(done)); });
    };
  });

  velmora::Options options;
  try {
    app.parse(argc, argv);
    if (app.count("--user") == 0) {
      throw CLI::ValidationError("--user", "no user name: pass --user or set VELMORA_USER");
    }
    if (app.count("--password") == 0) {
      throw CLI::ValidationError("--password",
                                 "no password: pass --password or set VELMORA_PASSWORD");
    }
    if (!s.restUrl.empty()) {
      if (s.restUrl.rfind("https://", 0) != 0) {
        throw CLI::ValidationError("--rest-url", "must start with https://");
      }
      while (!s.restUrl.empty() && s.restUrl.back() == '/') s.restUrl.pop_back();
      options.restBaseUrl = s.restUrl;
    }
    if (!s.soapUrl.empty()) {
      if (s.soapUrl.rfind("http://", 0) != 0 && s.soapUrl.rfind("https://", 0) != 0) {
        throw CLI::ValidationError("--soap-url", "must start with http:// or https://");
      }
      options.soapUrl = s.soapUrl;
    }
    if (!s.soapNamespace.empty()) options.soapNamespace = s.soapNamespace;
    options.caFile = s.caFile;
    options.timeout = std::chrono::milliseconds(static_cast<std::int64_t>(s.timeout * 1000));
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e);
    return status == 0 ? kSuccess : kUsage;
  }

  Answer answer;
  Velmora client(s.user, s.password, options);
  Runner runner(client, answer, s);
  return action(runner);
}
