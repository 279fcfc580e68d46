// velmora: the command-line client of the SMS-panel service, one subcommand per operation.

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "cli.hpp"
#include "printable.hpp"
#include "velmora/text.hpp"
#include "velmora/version.h"

namespace {

using namespace velmora::cli;

const char* const kDescription =
    "velmora: the command-line client of the SMS-panel service.\n"
    "Prints the service's answer as JSON on standard output: for the message and account\n"
    "operations {\"Code\",\"CodeName\",\"Message\",\"Result\"} (CodeName \"Unknown\" for a code\n"
    "this version does not know), for the code operations the number or truth value, and null\n"
    "when the exchange failed. A failed exchange is described by one line on standard error:\n"
    "its kind, its reason, and whether the request may have reached the service. -v adds the\n"
    "library's own lines (request bodies included); -q writes nothing on standard error.\n"
    "Defaults may come from a profile in the config file; flags beat the environment, which\n"
    "beats the file, which must be yours and writable by you alone; a password there is used\n"
    "only when no one but you may read it either.\n"
    "Exit status: 0 success; 1 refused by the service or a false check; 2 the exchange failed\n"
    "and the request may have reached the service; 3 the exchange failed and nothing was sent;\n"
    "4 --wait or --all stopped at its limit; 64 bad usage; 65 a value the library refused.";

std::size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// Of `candidates`, the one nearest to `word`.
std::string nearest(const std::string& word, const std::vector<std::string>& candidates) {
  std::string best;
  std::size_t bestDistance = std::string::npos;
  for (const std::string& candidate : candidates) {
    const std::size_t d = editDistance(word, candidate);
    if (d < bestDistance) {
      best = candidate;
      bestDistance = d;
    }
  }
  return best;
}

std::string nearestSubcommand(const CLI::App& level, const std::string& word) {
  std::vector<std::string> names;
  for (const CLI::App* sub : level.get_subcommands({})) names.push_back(sub->get_name());
  return nearest(word, names);
}

// The long options that `level` takes, its parents' included ("--from").
std::vector<std::string> longOptions(const CLI::App& level) {
  std::vector<std::string> names;
  for (const CLI::App* at = &level; at != nullptr; at = at->get_parent()) {
    for (const CLI::Option* option : at->get_options()) {
      for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
    }
  }
  return names;
}

// The command's words from the top, "velmora campaign report".
std::string commandPath(const CLI::App& level) {
  std::string path;
  for (const CLI::App* at = &level; at->get_parent() != nullptr; at = at->get_parent()) {
    path = " " + at->get_name() + path;
  }
  return "velmora" + path;
}

// The deepest subcommand that was named, or the app itself.
CLI::App& deepestParsed(CLI::App& app) {
  CLI::App* level = &app;
  while (!level->get_subcommands().empty()) level = level->get_subcommands().front();
  return *level;
}

// Where the words name a subcommand that does not exist: "unknown command 'crdit'; did you
// mean 'credit'?". Only at a level that has subcommands and none of them was named.
std::optional<std::string> unknownCommand(CLI::App& app) {
  CLI::App& level = deepestParsed(app);
  if (level.get_subcommands({}).empty()) return std::nullopt;
  for (const std::string& word : app.remaining()) {
    if (!word.empty() && word[0] != '-') {
      return "unknown command '" + word + "'; did you mean '" + nearestSubcommand(level, word) +
             "'? See velmora --help";
    }
  }
  return std::nullopt;
}

// Where the words hold a long option that the command does not take: "unknown option '--form';
// did you mean '--from'?". A mistyped flag otherwise shows only as a required one missing.
std::optional<std::string> unknownOption(CLI::App& app) {
  const CLI::App& level = deepestParsed(app);
  const std::vector<std::string> known = longOptions(level);
  for (const std::string& word : app.remaining(true)) {
    if (word.size() < 3 || word.compare(0, 2, "--") != 0) continue;
    const std::string flag = word.substr(0, word.find('='));
    if (std::find(known.begin(), known.end(), flag) != known.end()) continue;
    return "unknown option '" + flag + "'; did you mean '" + nearest(flag, known) + "'? See " +
           commandPath(level) + " --help";
  }
  return std::nullopt;
}

// Each subcommand's help ends with the options that every command takes, which CLI11 lists on
// the top level's help only.
void listGlobalOptions(CLI::App& app) {
  std::string names;
  for (const CLI::Option* option : app.get_options()) {
    for (const std::string& name : option->get_lnames()) {
      if (name != "help" && name != "version") names += (names.empty() ? "--" : ", --") + name;
    }
  }
  const std::string footer = "Options of every command (see velmora --help): " + names;
  std::vector<CLI::App*> levels = app.get_subcommands({});
  while (!levels.empty()) {
    CLI::App* level = levels.back();
    levels.pop_back();
    level->footer(footer);
    for (CLI::App* sub : level->get_subcommands({})) levels.push_back(sub);
  }
}

std::string versionText() {
  std::ostringstream out;
  out << VelmoraVersionNumber;
  std::string number = out.str();
  if (number.find('.') == std::string::npos) number += ".0";
  return "velmora " + number;
}

// CLI11's line for a parse error, with what it quotes from the command line or the config file
// made printable.
std::string failureLine(const CLI::App* app, const CLI::Error& e) {
  const std::string line = CLI::FailureMessage::simple(app, e);
  const std::string what = e.what();
  return velmora::tools::printable(what, velmora::utf8SequenceLength) +
         line.substr(std::min(what.size(), line.size()));
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{kDescription};
  app.failure_message(failureLine);  // before any subcommand: they copy it when made
  app.require_subcommand(1);
  app.fallthrough();
  app.set_version_flag("--version", versionText());
  Settings settings;
  addCommonOptions(app, settings);
  Action action;
  addCommands(app, action);
  addCompletion(app);
  listGlobalOptions(app);
  try {
    app.parse(argc, argv);
    finishSettings(app, settings);
  } catch (const CLI::ParseError& e) {
    std::optional<std::string> unknown = unknownCommand(app);
    if (!unknown) unknown = unknownOption(app);
    if (unknown) {
      std::cerr << "velmora: " << velmora::tools::printable(*unknown, velmora::utf8SequenceLength)
                << "\n";
      return kUsage;
    }
    const int status = app.exit(e);
    return status == 0 ? kSuccess : kUsage;
  }
  const std::unique_ptr<velmora::Velmora> client = makeClient(settings);
  return action(*client, settings);
}
