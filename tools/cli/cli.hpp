// The pieces of the velmora command that every subcommand shares: the common settings, the
// client made from them, the JSON answer on standard output and the exit statuses.

#pragma once

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "velmora/failure.hpp"
#include "velmora/future.hpp"
#include "velmora/velmora.hpp"

namespace velmora::cli {

/// Exit statuses of the command.
enum ExitStatus : int {
  kSuccess = 0,
  kRefused = 1,         ///< the service refused the request (or a check was false)
  kMayHaveArrived = 2,  ///< the exchange failed after the request may have reached the service
  kNothingSent = 3,     ///< the exchange failed and nothing was sent
  kUsage = 64,          ///< bad usage: a flag, a value or a file the command cannot use
  kRefusedInput = 65,   ///< the library refused a value; nothing was sent
  kIncomplete = 4,      ///< --wait or --all reached its limit before the end
  kInterrupted = 130,   ///< stopped by SIGINT or SIGTERM
};

/// How much the command writes on standard error.
enum class Verbosity { Quiet, Normal, Verbose };

/// The flags shared by every subcommand, after parsing: flags, then environment, then profile.
/// A plain value, filled on the main thread before any call starts.
struct Settings {
  std::string user;
  std::string password;
  bool passwordStdin = false;
  std::string restUrl;
  std::string soapUrl;
  std::string soapNamespace;
  std::string caFile;
  std::optional<std::string> proxy;  ///< unset: the environment's proxy; empty: none
  double timeout = 60;               ///< seconds without progress
  double deadline = 600;             ///< seconds from call to completion
  int retries = 2;                   ///< tries after the first, of requests that never left
  std::string region;                ///< where numbers in national form belong; empty: unknown
  std::string profile;
  std::string configFile;
  bool pretty = false;
  Verbosity verbosity = Verbosity::Normal;
};

/// Accepts a finite number of seconds in (0, 86400]; "nan", "inf", 0 and negatives fail.
CLI::Validator secondsInRange();

/// Seconds as milliseconds, rounded up; `seconds` must have passed secondsInRange().
std::chrono::milliseconds toMilliseconds(double seconds);

/// Registers the common flags on `app`, bound to `settings`; the app must outlive the parse.
void addCommonOptions(CLI::App& app, Settings& settings);

/// Completes `settings` after `app` has parsed: applies the profile, reads --password-stdin,
/// checks that credentials are present. Throws CLI::ValidationError (exit 64) naming the flag.
void finishSettings(CLI::App& app, Settings& settings);

/// The library options the settings describe, diagnostics routed by the verbosity.
Options makeOptions(const Settings& settings);

/// A client made from the settings; the caller owns it.
std::unique_ptr<Velmora> makeClient(const Settings& settings);

/// Writes `value` as one line of JSON on standard output, or indented when `pretty`, with every
/// control character in its strings escaped. Any thread; concurrent callers do not interleave.
void printJson(const nlohmann::json& value, bool pretty);

/// printJson() indented as --pretty says.
void printAnswer(const nlohmann::json& value, const Settings& settings);

/// Writes "velmora: <text>" on standard error unless --quiet. Any thread.
void printError(const std::string& text, const Settings& settings);

/// Writes one library diagnostic line on standard error, escaped as printError() does. Any
/// thread.
void printDiagnostic(std::string_view line);

/// The reason of the failed call whose completion runs on this thread. When the library gave
/// none, a transport failure that may have reached the service: the cautious assumption.
Failure failureHere();

/// The exit status a failure maps to: 65 refused input, 3 nothing sent, 2 otherwise.
int exitStatusFor(const Failure& failure);

/// Prints the one line describing `failure` (unless --quiet) and returns its exit status.
int reportFailure(const Failure& failure, const Settings& settings);

/// Starts one call through `start(completion)` and waits for its completion. The wait is
/// bounded by the deadline plus a margin; past it the outcome is a Deadline failure. `Value` is
/// what the completion receives; a typed operation's `Outcome<T>` is handed back as it is.
template <class Value, class Start>
auto await(const Settings& settings, Start&& start) {
  auto future = toOutcomeFuture<Value>(std::forward<Start>(start));
  const auto limit = std::chrono::duration<double>(settings.deadline) + std::chrono::seconds(30);
  if (future.wait_for(limit) != std::future_status::ready) {
    decltype(future.get()) late;
    late.failure = Failure();
    late.failure->kind = FailureKind::Deadline;
    late.failure->message = "no completion within the deadline";
    return late;
  }
  return future.get();
}

/// Runs one call and prints its answer: the JSON of `present(value)`, or null and the failure
/// line. Returns the exit status: `verdict(value)` when present, the failure's otherwise.
template <class Value, class Start, class Present, class Verdict>
int runCall(const Settings& settings, Start&& start, Present&& present, Verdict&& verdict) {
  Outcome<Value> outcome = await<Value>(settings, std::forward<Start>(start));
  if (outcome.failure) {
    printAnswer(nullptr, settings);
    return reportFailure(*outcome.failure, settings);
  }
  printAnswer(present(outcome.value), settings);
  return verdict(outcome.value);
}

/// A Result as the command prints it: {"Code","CodeName","Message","Result"}.
nlohmann::json resultJson(const Result& result);

/// What a parsed subcommand does with the client; returns the exit status.
using Action = std::function<int(Velmora& client, const Settings& settings)>;

/// Registers the subcommands of single calls on `app`; the chosen one sets `action`.
void addCommands(CLI::App& app, Action& action);

/// Registers `completion bash`, which prints a script covering every subcommand and flag of
/// `app` as registered when the command runs. Call once, on the top-level app.
void addCompletion(CLI::App& app);

}  // namespace velmora::cli
