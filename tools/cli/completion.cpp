// `velmora completion bash`: a completion script made from the parser's own subcommands and
// flags, so that it never lags behind them.

#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "campaign.hpp"
#include "cli.hpp"

namespace velmora::cli {
namespace {

// Every subcommand under `app` as its path of names ("code send"), depth first.
void collectPaths(const CLI::App& app, const std::string& prefix,
                  std::vector<std::pair<std::string, const CLI::App*>>& out) {
  for (const CLI::App* sub : app.get_subcommands({})) {
    const std::string path = prefix.empty() ? sub->get_name() : prefix + " " + sub->get_name();
    out.emplace_back(path, sub);
    collectPaths(*sub, path, out);
  }
}

// The words that may follow `app`: its subcommands and the flags of it and its parents.
std::string wordsOf(const CLI::App& app) {
  std::vector<std::string> words;
  for (const CLI::App* sub : app.get_subcommands({})) words.push_back(sub->get_name());
  for (const CLI::App* level = &app; level != nullptr; level = level->get_parent()) {
    for (const CLI::Option* option : level->get_options()) {
      for (const std::string& name : option->get_lnames()) words.push_back("--" + name);
      for (const std::string& name : option->get_snames()) words.push_back("-" + name);
    }
  }
  std::set<std::string> seen;
  std::string out;
  for (const std::string& word : words) {
    if (seen.insert(word).second) out += (out.empty() ? "" : " ") + word;
  }
  return out;
}

std::string bashScript(const CLI::App& app) {
  std::vector<std::pair<std::string, const CLI::App*>> paths;
  collectPaths(app, "", paths);
  std::string known;
  std::string cases = "    \"\") words=\"" + wordsOf(app) + "\" ;;\n";
  std::string states;
  for (const std::string& state : reportStates()) states += (states.empty() ? "" : " ") + state;
  for (const auto& [path, sub] : paths) {
    known += (known.empty() ? "\"" : "|\"") + path + "\"";
    cases += "    \"" + path + "\") words=\"" + wordsOf(*sub) + "\" ;;\n";
  }
  return "# bash completion for velmora; load with: source <(velmora completion bash)\n"
         "_velmora() {\n"
         "  local cur=${COMP_WORDS[COMP_CWORD]} path=\"\" next words i\n"
         "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
         "    next=\"${path:+$path }${COMP_WORDS[i]}\"\n"
         "    case \"$next\" in\n"
         "      " +
         known +
         ") path=$next ;;\n"
         "    esac\n"
         "  done\n"
         "  case \"${COMP_WORDS[COMP_CWORD-1]}\" in\n"
         "    --state) COMPREPLY=($(compgen -W \"" +
         states +
         "\" -- \"$cur\")); return ;;\n"
         "    --format) COMPREPLY=($(compgen -W \"json csv\" -- \"$cur\")); return ;;\n"
         "    --profile) COMPREPLY=($(compgen -W \"$(sed -n "
         "'s/^[[:space:]]*\\[\\([^]]*\\)\\][[:space:]]*$/\\1/p' "
         "\"${XDG_CONFIG_HOME:-$HOME/.config}/velmora/config.toml\" 2>/dev/null)\" "
         "-- \"$cur\")); return ;;\n"
         "  esac\n"
         "  if [[ $cur == @* ]]; then\n"
         "    COMPREPLY=($(compgen -f -- \"${cur#@}\")); COMPREPLY=(\"${COMPREPLY[@]/#/@}\"); "
         "return\n"
         "  fi\n"
         "  case \"$path\" in\n" +
         cases +
         "  esac\n"
         "  COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
         "}\n"
         "complete -o default -F _velmora velmora\n";
}

}  // namespace

void addCompletion(CLI::App& app) {
  auto* completion = app.add_subcommand("completion", "Print a shell completion script");
  auto shell = std::make_shared<std::string>();
  completion->add_option("SHELL", *shell, "The shell: bash")
      ->required()
      ->check(CLI::IsMember({"bash"}));
  // Needs no account: print and end the parse successfully before credentials are checked.
  completion->callback([&app, shell] {
    std::cout << bashScript(app);
    throw CLI::Success();
  });
}

}  // namespace velmora::cli
