// The common flags, the profile file, the credentials and the client made from them.

#include <fcntl.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "cli.hpp"
#include "owned_files.hpp"
#include "phone_numbers.hpp"
#include "velmora/options.hpp"

namespace velmora::cli {
namespace {

// The profile keys: long option names whose values a config file may give.
const std::set<std::string> kProfileKeys{"user",      "password", "rest-url", "soap-url",
                                         "namespace", "cacert",   "proxy",    "timeout",
                                         "deadline",  "retries",  "region"};

constexpr double kLongestSeconds =
    std::chrono::duration<double>(velmora::Options::kLongestTimeLimit).count();

bool hasScheme(const std::string& url, const std::string& scheme) {
  if (url.size() < scheme.size() + 3 || url.compare(scheme.size(), 3, "://") != 0) return false;
  for (std::size_t i = 0; i < scheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(url[i])) != scheme[i]) return false;
  }
  return true;
}

std::string defaultConfigFile() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && *xdg != '\0') return std::string(xdg) + "/velmora/config.toml";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : ".") + "/.config/velmora/config.toml";
}

// The config file, read from one descriptor after following at most this user's own links, and
// why its password may not be used (empty: it may). Only a regular file of this user's that no
// one else may change is read at all, as whoever may change it chooses where the password goes.
struct ConfigFile {
  std::string text;
  std::string passwordProblem;
};

std::optional<ConfigFile> readConfig(const std::string& file, bool asked) {
  const tools::FileDescriptor fd = tools::openFollowingOwnLinks(file, O_RDONLY | O_NONBLOCK);
  // The default file may be missing, or out of reach (HOME of another user under sudo -u).
  const bool absent = errno == ENOENT || errno == ENOTDIR || errno == EACCES;
  if (!fd.valid() && absent && !asked) return std::nullopt;
  if (!fd.valid()) throw std::runtime_error("cannot read " + file + ": " + std::strerror(errno));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    throw std::runtime_error(file + " is " + (S_ISDIR(info.st_mode) ? "a folder" : "not a file") +
                             ", not a config file");
  }
  if (std::string why = tools::othersMayChange(fd.get(), file); !why.empty()) {
    throw std::runtime_error(why);
  }
  ConfigFile config{tools::readAll(fd.get(), file), {}};
  if ((info.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    config.passwordProblem = file +
                             " holds a password but others may read it; make it readable "
                             "by its owner alone (chmod 600 " +
                             file + ")";
  }
  return config;
}

// Gives `key` its file value unless a flag or the environment gave it one.
void applyProfileValue(CLI::App& app, const std::string& file, const ConfigFile& config,
                       const CLI::ConfigItem& item) {
  const std::string key = item.name;
  if (kProfileKeys.count(key) == 0 || item.inputs.size() > 1) {
    throw CLI::ValidationError("--config", file + ": \"" + item.fullname() +
                                               "\" is not a profile key (user, password, "
                                               "rest-url, soap-url, namespace, cacert, proxy, "
                                               "timeout, deadline, retries, region)");
  }
  if (key == "password" && !config.passwordProblem.empty()) {
    throw CLI::ValidationError("--config", config.passwordProblem);
  }
  CLI::Option* option = app.get_option("--" + key);
  if (option->count() != 0) return;
  option->add_result(item.inputs.empty() ? std::string() : item.inputs.front());
  try {
    option->run_callback();
  } catch (const CLI::ValidationError& e) {
    throw CLI::ValidationError("--config", file + ": " + key + ": " + e.what());
  }
}

// Keys before any section apply always; those of the section named by --profile override them.
void applyProfile(CLI::App& app, const Settings& s) {
  const bool asked = !s.profile.empty() || !s.configFile.empty();
  const std::string file = s.configFile.empty() ? defaultConfigFile() : s.configFile;
  std::optional<ConfigFile> config;
  try {
    config = readConfig(file, asked);
  } catch (const std::runtime_error& e) {
    throw CLI::ValidationError("--config", e.what());
  }
  if (!config) return;
  std::istringstream in(config->text);
  const std::vector<CLI::ConfigItem> items = CLI::ConfigTOML().from_config(in);
  bool profileFound = s.profile.empty();
  // A key keeps the first value it gets, so the profile's own keys go first.
  for (const bool inProfile : {true, false}) {
    for (const CLI::ConfigItem& item : items) {
      if (item.name == "++" || item.name == "--") continue;  // section markers of the parser
      const bool topLevel = item.parents.empty();
      const bool ofProfile = item.parents.size() == 1 && item.parents[0] == s.profile;
      profileFound = profileFound || ofProfile;
      if (inProfile ? ofProfile : topLevel) applyProfileValue(app, file, *config, item);
    }
  }
  if (!profileFound) {
    throw CLI::ValidationError("--profile", "no profile [" + s.profile + "] in " + file);
  }
}

std::string passwordFromStdin() {
  std::string line;
  if (!std::getline(std::cin, line) && line.empty()) {
    throw CLI::ValidationError("--password-stdin", "no password line on standard input");
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// CLI11 skips an empty environment variable, but VELMORA_PROXY="" means "no proxy".
void applyEmptyProxyVariable(CLI::App& app) {
  CLI::Option* proxy = app.get_option("--proxy");
  const char* value = std::getenv("VELMORA_PROXY");
  if (proxy->count() != 0 || value == nullptr || *value != '\0') return;
  proxy->add_result(std::string());
  proxy->run_callback();
}

void checkUrls(Settings& s) {
  if (!s.restUrl.empty() && !hasScheme(s.restUrl, "https")) {
    throw CLI::ValidationError("--rest-url", "must start with https://");
  }
  while (!s.restUrl.empty() && s.restUrl.back() == '/') s.restUrl.pop_back();
  if (!s.soapUrl.empty() && !hasScheme(s.soapUrl, "http") && !hasScheme(s.soapUrl, "https")) {
    throw CLI::ValidationError("--soap-url", "must start with http:// or https://");
  }
}

// Accepts a region code in either case and keeps it in upper case, as the numbering plans name it;
// "" clears a region that a profile or the environment would set.
CLI::Validator knownRegion() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (text.empty() || isKnownRegion(text)) return {};
        return "must be a two-letter region code such as IR, not \"" + text + "\"";
      },
      "REGION");
}

}  // namespace

CLI::Validator secondsInRange() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !std::isfinite(value) || value <= 0 ||
            value > kLongestSeconds) {
          return "must be a number of seconds above 0 and at most 86400, not \"" + text + "\"";
        }
        return {};
      },
      "SECONDS in (0, 86400]");
}

std::chrono::milliseconds toMilliseconds(double seconds) {
  // Validated to (0, 86400], so the product fits; ceil keeps a tiny value above zero.
  return std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(seconds * 1000)));
}

void addCommonOptions(CLI::App& app, Settings& s) {
  app.add_option("-u,--user", s.user, "Account user name")->envname("VELMORA_USER");
  app.add_option("-p,--password", s.password,
                 "Account password; visible to other users of this machine in the process list, "
                 "unlike VELMORA_PASSWORD or --password-stdin")
      ->envname("VELMORA_PASSWORD");
  app.add_flag("--password-stdin", s.passwordStdin,
               "Read the password from the first line of standard input");
  app.add_option("--rest-url", s.restUrl, "HTTPS base URL of the JSON operations")
      ->envname("VELMORA_REST_URL");
  app.add_option("--soap-url", s.soapUrl, "URL of the SOAP endpoint (.../fastsend.asmx)")
      ->envname("VELMORA_SOAP_URL");
  app.add_option("--namespace", s.soapNamespace, "Service namespace URI of the SOAP operations")
      ->envname("VELMORA_NAMESPACE");
  app.add_option("--cacert", s.caFile, "PEM file of the certificate authorities to trust")
      ->envname("VELMORA_CACERT")
      ->check(CLI::ExistingFile);
  app.add_option_function<std::string>(
         "--proxy", [&s](const std::string& url) { s.proxy = url; },
         "Proxy URL (http://, https://, socks5h://); \"\" for none. Default: the https_proxy, "
         "http_proxy, all_proxy and no_proxy variables")
      ->envname("VELMORA_PROXY");
  app.add_option("--timeout", s.timeout, "Seconds a request may make no progress")
      ->capture_default_str()
      ->check(secondsInRange());
  app.add_option("--deadline", s.deadline, "Seconds from the call to its end, queue included")
      ->capture_default_str()
      ->check(secondsInRange());
  app.add_option("--retries", s.retries,
                 "Tries after the first, only of requests that never left this machine "
                 "(connection refused, TLS failure); 0 to 9")
      ->capture_default_str()
      ->check(CLI::Range(0, 9));
  app.add_option("--region", s.region,
                 "Region of the numbers written without a country code (IR, DE, ...): they are "
                 "then compared with those written with one, so that each number counts once")
      ->envname("VELMORA_REGION")
      ->transform(knownRegion());
  app.add_option("--profile", s.profile,
                 "Section of the config file whose keys (long option names) give defaults")
      ->envname("VELMORA_PROFILE");
  app.add_option("--config", s.configFile,
                 "Config file (default $XDG_CONFIG_HOME/velmora/config.toml, else "
                 "~/.config/velmora/config.toml)");
  app.add_flag("--pretty", s.pretty, "Indent the JSON answer");
  auto* verbose = app.add_flag_function(
      "-v,--verbose", [&s](std::int64_t) { s.verbosity = Verbosity::Verbose; },
      "Also write the library's lines (request bodies, statuses) on standard error");
  auto* quiet = app.add_flag_function(
      "-q,--quiet", [&s](std::int64_t) { s.verbosity = Verbosity::Quiet; },
      "Write nothing on standard error");
  verbose->excludes(quiet);
}

void finishSettings(CLI::App& app, Settings& s) {
  applyEmptyProxyVariable(app);
  applyProfile(app, s);
  if (s.passwordStdin) s.password = passwordFromStdin();
  if (s.user.empty()) {
    throw CLI::ValidationError("--user", "no user name: pass --user or set VELMORA_USER");
  }
  if (app.count("--password") == 0 && !s.passwordStdin) {
    throw CLI::ValidationError("--password",
                               "no password: pass --password-stdin or set VELMORA_PASSWORD");
  }
  checkUrls(s);
}

Options makeOptions(const Settings& s) {
  Options options;
  if (!s.restUrl.empty()) options.restBaseUrl = s.restUrl;
  if (!s.soapUrl.empty()) options.soapUrl = s.soapUrl;
  if (!s.soapNamespace.empty()) options.soapNamespace = s.soapNamespace;
  options.caFile = s.caFile;
  options.proxy = s.proxy;
  options.timeout = toMilliseconds(s.timeout);
  options.deadline = toMilliseconds(s.deadline);
  options.retry.attempts = s.retries + 1;
  if (s.verbosity == Verbosity::Verbose) {
    options.diagnostics = [](const Diagnostic& d) { printDiagnostic(d.line); };
  } else {
    options.diagnostics = [](const Diagnostic&) {};
  }
  return options;
}

std::unique_ptr<Velmora> makeClient(const Settings& s) {
  return std::make_unique<Velmora>(s.user, s.password, makeOptions(s));
}

}  // namespace velmora::cli
