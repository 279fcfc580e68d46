#include "service.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <stdexcept>
#include <utility>
#include <variant>

#include "soap_xml.hpp"
#include "velmora/result.hpp"

namespace velmora::sandbox {
namespace {

using nlohmann::json;
using Seconds = std::chrono::seconds;

// Bounds on what one request may ask for and on what the sandbox remembers, so that a long
// session or a hostile client cannot make it grow without limit.
constexpr std::size_t kMaxRecipients = 1000;
constexpr std::size_t kMaxStoredMessages = 100000;
constexpr std::size_t kMaxStoredGroups = 100000;
constexpr std::size_t kMaxInbox = 10000;
constexpr std::size_t kMaxCodeLength = 10;
constexpr std::size_t kMinCodeLength = 4;
// The latest send date accepted (2200-01-01): later ones would not fit the clock's range.
constexpr std::int64_t kLatestSendDate = 7258118400;

// Characters per part: a single-part text may use all of them, the parts of a longer one
// lose a few to the header that joins them again.
constexpr std::size_t kAsciiSingle = 160;
constexpr std::size_t kAsciiMulti = 153;
constexpr std::size_t kUnicodeSingle = 70;
constexpr std::size_t kUnicodeMulti = 67;

// A request the service refuses: the code and the sentence of its answer.
struct ServiceRefusal {
  ResultCode code;
  std::string message;
};

std::int64_t raw(ResultCode code) {
  return rawValue(code);
}
std::int64_t raw(StatusCode code) {
  return rawValue(code);
}

std::int64_t unixSeconds(Clock::time_point t) {
  return std::chrono::duration_cast<Seconds>(t.time_since_epoch()).count();
}

bool endsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// A mobile number: an optional "+" and 10 to 15 ASCII digits.
bool isMobile(std::string_view number) {
  if (!number.empty() && number.front() == '+') number.remove_prefix(1);
  return number.size() >= 10 && number.size() <= 15 &&
         std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The parts a text takes and the price of each, or a refusal for an empty or too long text.
std::int64_t priceOf(std::string_view text, const Prices& prices) {
  bool ascii = true;
  std::size_t characters = 0;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) ascii = false;
    if ((byte & 0xC0) != 0x80) ++characters;  // continuation bytes do not start a character
  }
  if (characters == 0) throw ServiceRefusal{ResultCode::MessageLengthError, "the text is empty"};
  const std::size_t single = ascii ? kAsciiSingle : kUnicodeSingle;
  const std::size_t multi = ascii ? kAsciiMulti : kUnicodeMulti;
  const std::size_t parts = characters <= single ? 1 : (characters + multi - 1) / multi;
  if (parts > static_cast<std::size_t>(prices.maxParts)) {
    throw ServiceRefusal{ResultCode::MessageLengthError,
                         "the text of " + std::to_string(characters) + " characters needs " +
                             std::to_string(parts) + " parts; at most " +
                             std::to_string(prices.maxParts) + " are allowed"};
  }
  return static_cast<std::int64_t>(parts) * (ascii ? prices.asciiPart : prices.unicodePart);
}

// --- Reading request members; a missing or wrong-typed member is a ParamError. ---

const json& member(const json& body, const char* name) {
  const auto it = body.find(name);
  if (it == body.end())
    throw ServiceRefusal{ResultCode::ParamError, std::string(name) + " is missing"};
  return *it;
}

ServiceRefusal wrongType(const char* name, const char* what) {
  return {ResultCode::ParamError, std::string(name) + " must be " + what};
}

std::string text(const json& body, const char* name) {
  const json& value = member(body, name);
  if (!value.is_string()) throw wrongType(name, "a string");
  return value.get<std::string>();
}

std::int64_t integer(const json& body, const char* name) {
  const json& value = member(body, name);
  if (value.is_number_unsigned() &&
      value.get<std::uint64_t>() >
          static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    throw wrongType(name, "a whole number within 64 bits");
  }
  if (!value.is_number_integer()) throw wrongType(name, "a whole number");
  return value.get<std::int64_t>();
}

std::vector<std::string> texts(const json& body, const char* name) {
  const json& value = member(body, name);
  if (!value.is_array()) throw wrongType(name, "an array of strings");
  std::vector<std::string> out;
  for (const json& item : value) {
    if (!item.is_string()) throw wrongType(name, "an array of strings");
    out.push_back(item.get<std::string>());
  }
  return out;
}

// One addressed text of a send.
struct Outgoing {
  std::string mobile;
  std::string text;
};

std::vector<Outgoing> recipients(const json& body, const char* name) {
  const json& value = member(body, name);
  if (!value.is_array()) throw wrongType(name, "an array of objects");
  std::vector<Outgoing> out;
  for (const json& item : value) {
    if (!item.is_object()) throw wrongType(name, "an array of objects");
    // "id" is the caller's own; it must be there but the service does not use it.
    text(item, "id");
    out.push_back({text(item, "mobile"), text(item, "message")});
  }
  return out;
}

std::optional<std::uint64_t> parseId(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Decodes standard base64 (with padding); nothing for anything else.
std::optional<std::string> decodeBase64(std::string_view in) {
  if (in.size() % 4 != 0) return std::nullopt;
  const auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  for (std::size_t i = 0; i < in.size(); i += 4) {
    const bool last = i + 4 == in.size();
    const int pad = last ? (in[i + 3] == '=') + (in[i + 2] == '=' && in[i + 3] == '=') : 0;
    std::uint32_t bits = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const int v = k >= 4 - static_cast<std::size_t>(pad) ? 0 : value(in[i + k]);
      if (v < 0) return std::nullopt;
      bits = (bits << 6) | static_cast<std::uint32_t>(v);
    }
    out.push_back(static_cast<char>((bits >> 16) & 0xFF));
    if (pad < 2) out.push_back(static_cast<char>((bits >> 8) & 0xFF));
    if (pad < 1) out.push_back(static_cast<char>(bits & 0xFF));
  }
  return out;
}

// The user and password of a "Basic" Authorization header.
std::optional<std::pair<std::string, std::string>> basicCredentials(std::string_view header) {
  constexpr std::string_view kScheme = "Basic ";
  if (header.substr(0, kScheme.size()) != kScheme) return std::nullopt;
  const auto decoded = decodeBase64(header.substr(kScheme.size()));
  if (!decoded) return std::nullopt;
  const auto colon = decoded->find(':');
  if (colon == std::string::npos) return std::nullopt;
  return std::pair{decoded->substr(0, colon), decoded->substr(colon + 1)};
}

json success(json result) {
  return {{"Code", raw(ResultCode::Success)}, {"Message", "OK"}, {"Result", std::move(result)}};
}

}  // namespace

std::optional<Account> parseAccount(std::string_view text) {
  const auto first = text.find(':');
  const auto last = text.rfind(':');
  if (first == std::string_view::npos || first == last || first == 0) return std::nullopt;
  const std::string_view credit = text.substr(last + 1);
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(credit.data(), credit.data() + credit.size(), value);
  if (credit.empty() || error != std::errc() || end != credit.data() + credit.size() || value < 0) {
    return std::nullopt;
  }
  return Account{std::string(text.substr(0, first)),
                 std::string(text.substr(first + 1, last - first - 1)), value};
}

const std::vector<std::string>& jsonOperations() {
  static const std::vector<std::string> names{"SendMessage",
                                              "SendCorrespondingMessage",
                                              "SendMessageToPort",
                                              "GroupMessageStatus",
                                              "CorrespondingMessageStatus",
                                              "GetGroupMessageId",
                                              "ReceiveMessages",
                                              "GetCredit",
                                              "GetPrices",
                                              "ShowWhiteList"};
  return names;
}

struct Service::State {
  enum class Fate { Delivered, Filtered, Unreachable };

  struct Sent {
    std::string account;
    std::string mobile;
    Clock::time_point due;
    Fate fate = Fate::Delivered;
  };
  struct Group {
    std::string account;
    std::vector<std::uint64_t> messageIds;
  };
  struct Received {
    std::string line;
    std::string from;
    std::string text;
    Clock::time_point at;
  };
  struct PendingCode {
    std::string code;
    Clock::time_point expires;
    int wrongChecks = 0;
  };
  struct AccountState {
    std::string password;
    std::int64_t credit = 0;
    std::map<std::string, std::uint64_t> groupByUserGroup;
  };

  const ServiceConfig& config;
  std::map<std::string, AccountState> accounts;
  std::map<std::uint64_t, Sent> messages;
  std::map<std::uint64_t, Group> groups;
  std::vector<Received> inbox;
  std::map<std::pair<std::string, std::string>, PendingCode> codes;  // by account and number
  std::uint64_t nextId = 1000;
  std::mt19937_64 random;

  explicit State(const ServiceConfig& c) : config(c) {
    for (const Account& a : c.accounts) accounts[a.user] = {a.password, a.credit, {}};
    random.seed(c.seed ? *c.seed : std::random_device{}());
  }

  bool isLine(std::string_view number) const {
    return std::find(config.lines.begin(), config.lines.end(), number) != config.lines.end();
  }

  // The account the credentials name, or nothing when the user or password is wrong.
  AccountState* authenticate(const std::string& user, const std::string& password) {
    const auto it = accounts.find(user);
    if (it == accounts.end() || it->second.password != password) return nullptr;
    return &it->second;
  }

  void checkRecipient(std::string_view mobile) const {
    if (!isLine(mobile) && !isMobile(mobile)) {
      throw ServiceRefusal{ResultCode::NumberError,
                           "\"" + std::string(mobile) + "\" is not a mobile number"};
    }
  }

  Fate fateOf(std::string_view mobile) const {
    if (isLine(mobile)) return Fate::Delivered;
    if (endsWith(mobile, "0000")) return Fate::Filtered;
    if (endsWith(mobile, "9999")) return Fate::Unreachable;
    return Fate::Delivered;
  }

  StatusCode statusOf(const Sent& m, Clock::time_point now) const {
    const auto age = now - m.due;
    const auto step = config.deliveryStep;
    if (age < step) return StatusCode::InQueue;
    if (m.fate == Fate::Filtered) return StatusCode::Filtered;
    if (age < 2 * step) return StatusCode::InTelecommunication;
    return m.fate == Fate::Unreachable ? StatusCode::NotInTelecommunication : StatusCode::Sended;
  }

  json statusEntry(const std::string& id, Clock::time_point now) const {
    const auto key = parseId(id);
    const auto it = key ? messages.find(*key) : messages.end();
    if (it == messages.end()) {
      return {{"MessageId", id}, {"Mobile", ""}, {"Status", raw(StatusCode::Unknown)}};
    }
    return {{"MessageId", id},
            {"Mobile", it->second.mobile},
            {"Status", raw(statusOf(it->second, now))}};
  }

  template <class Map>
  static void forgetOldest(Map& map, std::size_t limit) {
    while (map.size() > limit) map.erase(map.begin());
  }

  // Checks and charges a send as a whole: either every text is accepted and paid for, or none.
  json send(const std::string& user, AccountState& account, const std::string& from,
            const std::vector<Outgoing>& outgoing, const std::string& userGroup,
            Clock::time_point due) {
    if (!isLine(from)) {
      throw ServiceRefusal{ResultCode::OwnNumberError,
                           "\"" + from + "\" is not a line of this account"};
    }
    if (outgoing.empty()) throw ServiceRefusal{ResultCode::UserListError, "there is no recipient"};
    if (outgoing.size() > kMaxRecipients) {
      throw ServiceRefusal{ResultCode::UserListError,
                           "at most " + std::to_string(kMaxRecipients) + " recipients per request"};
    }
    std::int64_t cost = 0;
    for (const Outgoing& o : outgoing) {
      checkRecipient(o.mobile);
      cost += priceOf(o.text, config.prices);
    }
    if (cost > account.credit) {
      throw ServiceRefusal{ResultCode::CreditError, "this send costs " + std::to_string(cost) +
                                                        " but the credit is " +
                                                        std::to_string(account.credit)};
    }
    account.credit -= cost;
    const std::uint64_t groupId = nextId++;
    Group& group = groups[groupId];
    group.account = user;
    json ids = json::array();
    for (const Outgoing& o : outgoing) {
      const std::uint64_t id = nextId++;
      messages[id] = {user, o.mobile, due, fateOf(o.mobile)};
      group.messageIds.push_back(id);
      ids.push_back(std::to_string(id));
      if (isLine(o.mobile)) inbox.push_back({o.mobile, from, o.text, due});
    }
    if (!userGroup.empty()) account.groupByUserGroup[userGroup] = groupId;
    forgetOldest(messages, kMaxStoredMessages);
    forgetOldest(groups, kMaxStoredGroups);
    if (inbox.size() > kMaxInbox) inbox.erase(inbox.begin(), inbox.end() - kMaxInbox);
    return {{"GroupMessageId", std::to_string(groupId)},
            {"MessageIds", std::move(ids)},
            {"Cost", cost},
            {"Credit", account.credit}};
  }

  // Sends one text to one number for the verification-code operations; the message id.
  std::uint64_t sendOne(const std::string& user, AccountState& account, const std::string& mobile,
                        const std::string& message, Clock::time_point now) {
    const json sent = send(user, account, config.lines.front(), {{mobile, message}}, "", now);
    return *parseId(sent["MessageIds"][0].get<std::string>());
  }

  json receive(const json& body, Clock::time_point now) const {
    const std::string line = text(body, "PhoneNumber");
    const std::int64_t start = integer(body, "StartDate");
    const std::int64_t end = integer(body, "EndDate");
    const std::int64_t page = integer(body, "Page");
    if (!isLine(line)) {
      throw ServiceRefusal{ResultCode::OwnNumberError,
                           "\"" + line + "\" is not a line of this account"};
    }
    if (end < start)
      throw ServiceRefusal{ResultCode::DateRangeError, "EndDate is before StartDate"};
    if (page < 1) throw ServiceRefusal{ResultCode::PageError, "pages are counted from 1"};
    const auto size = static_cast<std::int64_t>(std::max<std::size_t>(config.inboxPageSize, 1));
    const std::int64_t skip = page - 1 > std::numeric_limits<std::int64_t>::max() / size
                                  ? std::numeric_limits<std::int64_t>::max()
                                  : (page - 1) * size;
    json out = json::array();
    std::int64_t index = 0;
    for (const Received& r : inbox) {
      const std::int64_t at = unixSeconds(r.at);
      if (r.line != line || r.at > now || at < start || at > end) continue;
      if (index++ < skip) continue;
      if (static_cast<std::int64_t>(out.size()) == size) break;
      out.push_back({{"MsgBody", r.text}, {"Mobile", r.from}, {"Dates", at}});
    }
    return out;
  }

  json handle(const std::string& op, const std::string& user, AccountState& account,
              const json& body, Clock::time_point now) {
    if (op == "GetCredit") return account.credit;
    if (op == "GetPrices") {
      return {{"AsciiPartPrice", config.prices.asciiPart},
              {"UnicodePartPrice", config.prices.unicodePart},
              {"AsciiPartLength", kAsciiSingle},
              {"UnicodePartLength", kUnicodeSingle},
              {"MaxParts", config.prices.maxParts}};
    }
    if (op == "SendMessage") {
      const std::string from = text(body, "PhoneNumber");
      const std::string message = text(body, "Message");
      const std::vector<std::string> mobiles = texts(body, "Mobiles");
      const std::string userGroup = text(body, "UserGroupID");
      const std::int64_t at = integer(body, "SendDateInTimeStamp");
      if (at < 0 || at > kLatestSendDate) {
        throw ServiceRefusal{ResultCode::DateError, "SendDateInTimeStamp is out of range"};
      }
      std::vector<Outgoing> outgoing;
      for (const std::string& m : mobiles) outgoing.push_back({m, message});
      return send(user, account, from, outgoing, userGroup,
                  std::max(now, Clock::time_point(Seconds(at))));
    }
    if (op == "SendCorrespondingMessage") {
      const std::string from = text(body, "PhoneNumber");
      const std::vector<Outgoing> outgoing = recipients(body, "RecipientsMessage");
      return send(user, account, from, outgoing, text(body, "UserGroupID"), now);
    }
    if (op == "SendMessageToPort") {
      const std::string from = text(body, "PhoneNumber");
      for (const char* name : {"recievePortNumber", "sendPortNumber"}) {
        const std::int64_t port = integer(body, name);
        if (port < 0 || port > 65535) {
          throw ServiceRefusal{ResultCode::PortError, std::string(name) + " is not a port number"};
        }
      }
      const std::vector<Outgoing> outgoing = recipients(body, "RecipientsMessage");
      return send(user, account, from, outgoing, text(body, "UserGroupID"), now);
    }
    if (op == "GroupMessageStatus") {
      const std::string id = text(body, "GroupMessageId");
      const auto key = parseId(id);
      const auto it = key ? groups.find(*key) : groups.end();
      if (it == groups.end() || it->second.account != user) {
        throw ServiceRefusal{ResultCode::GroupError, "no group message " + id};
      }
      json out = json::array();
      for (const std::uint64_t m : it->second.messageIds) {
        out.push_back(statusEntry(std::to_string(m), now));
      }
      return out;
    }
    if (op == "CorrespondingMessageStatus") {
      const std::vector<std::string> ids = texts(body, "messageId");
      if (ids.size() > kMaxRecipients) {
        throw ServiceRefusal{ResultCode::UserListError,
                             "at most " + std::to_string(kMaxRecipients) + " ids per request"};
      }
      json out = json::array();
      for (const std::string& id : ids) {
        json entry = statusEntry(id, now);
        const auto key = parseId(id);
        // Another account's message is as unknown as one that never was.
        if (key && messages.count(*key) != 0 && messages.at(*key).account != user) {
          entry = {{"MessageId", id}, {"Mobile", ""}, {"Status", raw(StatusCode::Unknown)}};
        }
        out.push_back(std::move(entry));
      }
      return out;
    }
    if (op == "GetGroupMessageId") {
      const std::string group = text(body, "groupId");
      const auto it = account.groupByUserGroup.find(group);
      if (it == account.groupByUserGroup.end()) {
        throw ServiceRefusal{ResultCode::GroupError, "nothing was sent to group \"" + group + "\""};
      }
      return std::to_string(it->second);
    }
    if (op == "ReceiveMessages") return receive(body, now);
    // ShowWhiteList
    json out = json::array();
    for (const std::string& mobile : texts(body, "MobilesList")) {
      checkRecipient(mobile);
      const auto& list = config.whiteList;
      out.push_back({{"Mobile", mobile},
                     {"InWhiteList", std::find(list.begin(), list.end(), mobile) != list.end()}});
    }
    return out;
  }

  std::string newCode() { return std::to_string(10000 + random() % 90000); }
};

Service::Service(ServiceConfig config)
    : config_(std::move(config)), state_(std::make_unique<State>(config_)) {
  if (config_.soapNamespace.find_first_of("<>&\"'") != std::string::npos) {
    throw std::invalid_argument("the SOAP namespace must not hold < > & \" or '");
  }
}

Service::~Service() = default;

JsonAnswer Service::handleJson(std::string_view operation, std::string_view authorization,
                               std::string_view body) {
  const std::string op(operation);
  const auto credentials = basicCredentials(authorization);
  const std::string user = credentials ? credentials->first : std::string();
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    State::AccountState* account =
        credentials ? state_->authenticate(credentials->first, credentials->second) : nullptr;
    if (account == nullptr) {
      throw ServiceRefusal{ResultCode::UserError, "the user name or the password is wrong"};
    }
    json request = json::object();
    if (op != "GetCredit" && op != "GetPrices") {
      request = json::parse(body, nullptr, /*allow_exceptions=*/false);
      if (!request.is_object())
        throw ServiceRefusal{ResultCode::DocError, "the body is not a JSON object"};
    }
    json answer = success(state_->handle(op, user, *account, request, config_.now()));
    std::string summary = user + ": OK";
    if (answer["Result"].is_object() && answer["Result"].contains("GroupMessageId")) {
      summary += " group " + answer["Result"]["GroupMessageId"].get<std::string>();
    }
    return {std::move(answer), std::move(summary)};
  } catch (const ServiceRefusal& refusal) {
    return {{{"Code", raw(refusal.code)}, {"Message", refusal.message}, {"Result", nullptr}},
            (user.empty() ? std::string("-") : user) + ": " + std::to_string(raw(refusal.code)) +
                " " + refusal.message};
  }
}

SoapAnswer Service::handleSoap(std::string_view soapAction, std::string_view body) {
  auto parsed = parseSoapRequest(body);
  if (auto* why = std::get_if<std::string>(&parsed)) {
    return {400, soapFault(true, *why), "fault: " + *why};
  }
  const SoapRequest& request = std::get<SoapRequest>(parsed);
  const std::string& op = request.operation;
  const bool known = op == "AutoSendCode" || op == "CheckSendCode" || op == "SendMessageWithCode";
  if (!known || request.operationNamespace != config_.soapNamespace) {
    // The request's namespace is left out of the reason: unlike a name, it may hold markup.
    const std::string why = "unknown operation " + op + "; the operations are in the namespace " +
                            config_.soapNamespace;
    return {400, soapFault(true, why), "fault: " + why};
  }
  // Some clients quote the action; the value inside the quotes is what counts.
  std::string_view action = soapAction;
  if (action.size() >= 2 && action.front() == '"' && action.back() == '"') {
    action = action.substr(1, action.size() - 2);
  }
  if (!action.empty() && action != config_.soapNamespace + op) {
    const std::string why = "the SOAPAction does not name the operation " + op;
    return {400, soapFault(true, why), "fault: " + why};
  }
  const char* lastTag = op == "AutoSendCode" ? "Footer" : "Code";
  for (const char* name : {"Username", "Password", "ReciptionNumber", lastTag}) {
    if (request.fields.count(name) == 0) {
      const std::string why = std::string("the element ") + name + " is missing";
      return {400, soapFault(true, why), "fault: " + why};
    }
  }
  const std::string& user = request.fields.at("Username");
  const std::string& number = request.fields.at("ReciptionNumber");
  const std::string& last = request.fields.at(lastTag);
  const auto answer = [&](const std::string& value, std::string note) {
    return SoapAnswer{200, soapResponse(config_.soapNamespace, op, value),
                      op + " " + user + " " + number + ": " + note + " -> " + value};
  };

  std::lock_guard<std::mutex> lock(mutex_);
  const Clock::time_point now = config_.now();
  State::AccountState* account = state_->authenticate(user, request.fields.at("Password"));
  const bool numberOk = isMobile(number);
  const std::pair<std::string, std::string> key{user, number};
  if (op == "CheckSendCode") {
    // A wrong user, a wrong number and a wrong code all look alike: the code is not valid.
    const auto it = account && numberOk ? state_->codes.find(key) : state_->codes.end();
    if (it == state_->codes.end()) return answer("false", "no code is waiting");
    if (it->second.expires <= now) {
      state_->codes.erase(it);
      return answer("false", "the code has expired");
    }
    if (it->second.code != last) {
      const bool used = ++it->second.wrongChecks >= config_.codeAttempts;
      if (used) state_->codes.erase(it);
      return answer("false", used ? "wrong code; the code is now void" : "wrong code");
    }
    state_->codes.erase(it);
    return answer("true", "code accepted");
  }
  // The number operations answer a message id, or a refusal as its code made negative.
  const auto refuse = [&](ResultCode code, const std::string& why) {
    return answer(std::to_string(-raw(code)), why);
  };
  if (!account) return refuse(ResultCode::UserError, "the user name or the password is wrong");
  if (!numberOk) return refuse(ResultCode::NumberError, "not a mobile number");
  std::string code = last;
  std::string message;
  if (op == "AutoSendCode") {
    code = state_->newCode();
    message = "Your code: " + code + (last.empty() ? "" : "\n" + last);
  } else {
    const bool digits = std::all_of(code.begin(), code.end(), [](char c) {
      return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    });
    if (!digits || code.size() < kMinCodeLength || code.size() > kMaxCodeLength) {
      return refuse(ResultCode::ParamError, "a code is 4 to 10 letters or digits");
    }
    message = "Your code: " + code;
  }
  try {
    const std::uint64_t id = state_->sendOne(user, *account, number, message, now);
    state_->codes[key] = {code, now + config_.codeLifetime, 0};
    return answer(std::to_string(id), "sent code " + code);
  } catch (const ServiceRefusal& refusal) {
    return refuse(refusal.code, refusal.message);
  }
}

}  // namespace velmora::sandbox
