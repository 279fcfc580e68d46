#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace velmora::sandbox {

using Clock = std::chrono::system_clock;

/// An account of the sandbox: credentials and credit, in whole credit units.
struct Account {
  std::string user;
  std::string password;
  std::int64_t credit = 0;
};

/// Reads "user:password:credit". The user ends at the first colon and the credit starts after
/// the last one, so a password may hold colons. Nothing for a malformed text.
std::optional<Account> parseAccount(std::string_view text);

/// Prices of one message part per recipient, by the kind of text.
struct Prices {
  std::int64_t asciiPart = 100;    ///< a text of ASCII characters only
  std::int64_t unicodePart = 120;  ///< any other text
  int maxParts = 8;                ///< a longer text is refused
};

/// Everything that shapes the sandbox's behaviour. Plain value.
struct ServiceConfig {
  std::vector<Account> accounts{{"demo", "demo", 100000}};
  /// The sandbox's own line numbers: senders must use one, and messages sent to one land in
  /// its inbox.
  std::vector<std::string> lines{"3000", "3001"};
  std::vector<std::string> whiteList{"09120000001", "09120000002"};
  Prices prices;
  /// How long a sent message stays in each state before it moves on.
  std::chrono::milliseconds deliveryStep{1000};
  std::size_t inboxPageSize = 10;
  std::chrono::seconds codeLifetime{300};
  int codeAttempts = 5;  ///< wrong checks after which a verification code is void
  /// Seeds the verification codes; nothing means a different sequence on every start.
  std::optional<std::uint64_t> seed;
  /// The service namespace URI of the SOAP operations (ends with a slash). It is written into
  /// answers as it is, so it must not hold < > & " or '.
  std::string soapNamespace = "http://velmora.example/";
  /// The time source; tests substitute a clock they move by hand.
  std::function<Clock::time_point()> now = [] { return Clock::now(); };
};

/// The JSON operations, by the last segment of their path.
const std::vector<std::string>& jsonOperations();

/// An answer of the JSON protocol: the body ({"Code","Message","Result"}) and a summary for the
/// request log.
struct JsonAnswer {
  nlohmann::json body;
  std::string summary;
};

/// An answer of the SOAP protocol: HTTP status, XML body and a summary for the request log.
struct SoapAnswer {
  int status = 200;
  std::string body;
  std::string summary;
};

/// The state and rules of the stand-in SMS panel, without any HTTP. Thread-safe: every
/// request takes one lock, so concurrent requests see each other's effects whole.
class Service {
 public:
  /// Throws std::invalid_argument for a namespace holding markup characters.
  explicit Service(ServiceConfig config);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  /// Answers one JSON request. `operation` must be one of `jsonOperations()`;
  /// `authorization` is the request's Authorization header (empty when absent).
  JsonAnswer handleJson(std::string_view operation, std::string_view authorization,
                        std::string_view body);

  /// Answers one SOAP 1.2 request. `soapAction` is the SOAPAction header (empty when absent).
  SoapAnswer handleSoap(std::string_view soapAction, std::string_view body);

  const ServiceConfig& config() const { return config_; }

  struct State;

 private:
  ServiceConfig config_;
  std::mutex mutex_;
  std::unique_ptr<State> state_;
};

}  // namespace velmora::sandbox
