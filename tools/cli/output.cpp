// The command's answer on standard output, its own lines on standard error, and exit statuses.

#include <cstdio>
#include <mutex>

#include "cli.hpp"
#include "printable.hpp"
#include "velmora/text.hpp"

namespace velmora::cli {
namespace {

std::mutex& outputLock() {
  static std::mutex lock;
  return lock;
}

void writeLocked(std::FILE* stream, const std::string& text) {
  const std::lock_guard<std::mutex> hold(outputLock());
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

void printJson(const nlohmann::json& value, bool pretty) {
  // Strings hold what the service or a file gave: bytes that are not UTF-8 become U+FFFD rather
  // than ending the command, and no control character reaches the terminal raw.
  const std::string text =
      value.dump(pretty ? 2 : -1, ' ', false, nlohmann::json::error_handler_t::replace);
  writeLocked(stdout, tools::printableJson(text) + "\n");
}

void printAnswer(const nlohmann::json& value, const Settings& settings) {
  printJson(value, settings.pretty);
}

void printError(const std::string& text, const Settings& settings) {
  // The text may quote file names, numbers and rows of input files: what they hold must not
  // reach the terminal as control sequences or split the line.
  if (settings.verbosity != Verbosity::Quiet) {
    writeLocked(stderr, "velmora: " + tools::printable(text, utf8SequenceLength) + "\n");
  }
}

void printDiagnostic(std::string_view line) {
  // The library's lines quote status lines, headers and bodies as the peer sent them.
  writeLocked(stderr, tools::printable(line, utf8SequenceLength) + "\n");
}

Failure failureHere() {
  if (const Failure* failure = currentFailure()) return *failure;
  Failure unknown;
  unknown.message = "the exchange failed";
  return unknown;
}

int exitStatusFor(const Failure& failure) {
  if (failure.kind == FailureKind::RefusedInput) return kRefusedInput;
  return failure.requestMayHaveArrived ? kMayHaveArrived : kNothingSent;
}

int reportFailure(const Failure& failure, const Settings& settings) {
  if (failure.kind == FailureKind::RefusedInput) {  // its message already says nothing was sent
    printError(std::string(name(failure.kind)) + ": " + failure.message, settings);
    return exitStatusFor(failure);
  }
  const std::string tries =
      failure.attempts > 1 ? " (tried " + std::to_string(failure.attempts) + " times)" : "";
  printError(std::string(name(failure.kind)) + ": " + failure.message + tries + "; " +
                 (failure.requestMayHaveArrived ? "the request may have reached the service"
                                                : "nothing was sent"),
             settings);
  return exitStatusFor(failure);
}

namespace {

// The payload as printed: each delivery state ("Status" of an entry) gets its name beside the
// number ("StatusName"), when this version knows one.
nlohmann::json withStateNames(nlohmann::json payload) {
  if (!payload.is_array()) return payload;
  for (nlohmann::json& entry : payload) {
    if (!entry.is_object()) continue;
    const auto status = entry.find("Status");
    if (status == entry.end() || !status->is_number_integer()) continue;
    if (const auto known = statusCodeFromRaw(status->get<std::int64_t>())) {
      entry["StatusName"] = name(*known);
    }
  }
  return payload;
}

}  // namespace

nlohmann::json resultJson(const Result& result) {
  return {{"Code", rawValue(result.Code())},
          {"CodeName", name(result.Code())},
          {"Message", result.Message()},
          {"Result", withStateNames(result.Payload())}};
}

}  // namespace velmora::cli
