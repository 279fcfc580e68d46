// velmora-sandbox: a local stand-in of the SMS-panel service for demos, development and
// integration tests. See tools/sandbox/README.md.

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "sandbox.hpp"
#include "self_signed_certificate.hpp"
#include "velmora/config.hpp"

namespace {

namespace fs = std::filesystem;
using velmora::sandbox::Account;

constexpr int kUsageError = 64;

std::string defaultStateFolder() {
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state != '\0') {
    return (fs::path(state) / "velmora-sandbox").string();
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return (fs::path(home) / ".local/state/velmora-sandbox").string();
  }
  return "velmora-sandbox-state";
}

// The certificate and key in `folder`, made on first use and kept for later starts so that
// clients can keep trusting the same file.
velmora::tools::CertificateFiles certificateIn(const std::string& folder) {
  velmora::tools::CertificateSpec profile;
  profile.commonName = "velmora sandbox";
  profile.notAfter = std::chrono::hours(24 * 825);
  return velmora::tools::keptCertificate(folder, profile);
}

}  // namespace

int main(int argc, char** argv) {
  velmora::sandbox::SandboxOptions options;
  velmora::sandbox::ServiceConfig& config = options.service;
  config.soapNamespace = VELMORA_DEFAULT_SOAP_NAMESPACE;

  CLI::App app{
      "velmora-sandbox: a local stand-in of the SMS-panel service.\n"
      "Serves the JSON operations over HTTPS and the verification-code operations over plain\n"
      "HTTP, on 127.0.0.1 only. Prints one JSON line with both URLs and the CA file to trust,\n"
      "then one log line per request on standard error, until interrupted."};
  std::string state = defaultStateFolder();
  std::string certFile;
  std::string keyFile;
  std::string caFile;
  std::vector<std::string> accounts;
  std::vector<std::string> lines;
  std::vector<std::string> whiteList;
  std::uint64_t seed = 0;
  long deliveryMs = config.deliveryStep.count();
  long codeLifetime = config.codeLifetime.count();

  app.add_option("--rest-port", options.restPort, "HTTPS port of the JSON operations (0: free)")
      ->check(CLI::Range(0, 65535));
  app.add_option("--soap-port", options.soapPort, "HTTP port of the SOAP endpoint (0: free)")
      ->check(CLI::Range(0, 65535));
  app.add_option("--state", state, "Folder for the generated certificate and key")
      ->capture_default_str();
  auto* certOption =
      app.add_option("--cert", certFile, "PEM certificate to serve instead of a generated one")
          ->check(CLI::ExistingFile);
  auto* keyOption = app.add_option("--key", keyFile, "PEM key of --cert")->check(CLI::ExistingFile);
  certOption->needs(keyOption);
  keyOption->needs(certOption);
  app.add_option("--ca", caFile, "CA file to tell clients to trust (default: the certificate)")
      ->check(CLI::ExistingFile)
      ->needs(certOption);
  app.add_option("--account", accounts,
                 "An account as user:password:credit; repeatable (default demo:demo:100000)");
  app.add_option("--line", lines, "A line number of the sandbox; repeatable (default 3000, 3001)");
  app.add_option("--whitelist", whiteList,
                 "A number on the white list; repeatable (default 09120000001, 09120000002)");
  app.add_option("--ascii-price", config.prices.asciiPart, "Price of one part of an ASCII text")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.add_option("--unicode-price", config.prices.unicodePart,
                 "Price of one part of any other text")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.add_option("--max-parts", config.prices.maxParts, "Parts a text may take at most")
      ->capture_default_str()
      ->check(CLI::Range(1, 255));
  app.add_option("--delivery-step", deliveryMs,
                 "Milliseconds a sent message stays in each delivery state")
      ->capture_default_str()
      ->check(CLI::Range(0L, 86400000L));
  app.add_option("--page-size", config.inboxPageSize, "Received messages per inbox page")
      ->capture_default_str()
      ->check(CLI::Range(1, 1000));
  app.add_option("--code-lifetime", codeLifetime, "Seconds a verification code stays valid")
      ->capture_default_str()
      ->check(CLI::Range(1L, 86400L));
  app.add_option("--code-attempts", config.codeAttempts,
                 "Wrong checks after which a verification code is void")
      ->capture_default_str()
      ->check(CLI::Range(1, 1000));
  auto* seedOption =
      app.add_option("--seed", seed, "Seed of the verification codes (same seed, same codes)");
  app.add_option("--namespace", config.soapNamespace,
                 "Service namespace URI of the SOAP operations")
      ->capture_default_str();
  app.add_option("--max-body", options.maxBodyBytes, "Largest request body in bytes")
      ->capture_default_str()
      ->check(CLI::Range(1024, 64 * 1024 * 1024));

  try {
    app.parse(argc, argv);
    if (!accounts.empty()) config.accounts.clear();
    for (const std::string& text : accounts) {
      const auto account = velmora::sandbox::parseAccount(text);
      if (!account) {
        throw CLI::ValidationError("--account", "\"" + text + "\" is not user:password:credit");
      }
      config.accounts.push_back(*account);
    }
    if (config.soapNamespace.find_first_of("<>&\"'") != std::string::npos) {
      throw CLI::ValidationError("--namespace", "must not hold < > & \" or '");
    }
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : kUsageError;
  }
  if (!lines.empty()) config.lines = lines;
  if (!whiteList.empty()) config.whiteList = whiteList;
  if (seedOption->count() > 0) config.seed = seed;
  config.deliveryStep = std::chrono::milliseconds(deliveryMs);
  config.codeLifetime = std::chrono::seconds(codeLifetime);

  // Signals are taken by sigwait below; blocking them before any thread starts makes every
  // server thread inherit the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  try {
    if (certFile.empty()) {
      const auto files = certificateIn(state);
      certFile = files.certFile;
      keyFile = files.keyFile;
    }
    if (caFile.empty()) caFile = certFile;
    options.certFile = certFile;
    options.keyFile = keyFile;
    const std::vector<Account> accountList = config.accounts;
    const std::vector<std::string> lineList = config.lines;
    const std::string serviceNamespace = config.soapNamespace;
    velmora::sandbox::Sandbox sandbox(std::move(options));

    nlohmann::json ready = {
        {"rest", sandbox.restUrl()},           {"soap", sandbox.soapUrl()},
        {"namespace", serviceNamespace},       {"ca", fs::absolute(caFile).string()},
        {"accounts", nlohmann::json::array()}, {"lines", lineList}};
    for (const Account& a : accountList) ready["accounts"].push_back(a.user);
    std::cout << ready.dump() << std::endl;
    std::cerr << "velmora-sandbox: ready; clients must trust " << ready["ca"].get<std::string>()
              << "; stop with Ctrl-C" << std::endl;

    int signal = 0;
    sigwait(&stopSignals, &signal);
    std::cerr << "velmora-sandbox: stopping" << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "velmora-sandbox: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
