#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace velmora::test {

/// How a child process ended: its exit status (-1 when a signal ended it) and both outputs.
struct Exit {
  int status = -1;
  std::string out;
  std::string err;
};

/// A program run as a child process, with this process's environment minus every VELMORA_ and
/// proxy variable, plus `env` (which replaces variables of the same name); standard input holds
/// `input`, both outputs go to files (so a chatty child never blocks on a full pipe). Every wait
/// is bounded: after 60 s it is killed.
class ChildProcess {
 public:
  ChildProcess(std::vector<std::string> argv, const std::vector<std::string>& env,
               const std::string& input = {}) {
    char dir[] = "/tmp/velmora-child-XXXXXX";
    dir_ = mkdtemp(dir) != nullptr ? dir : "/tmp";
    std::ofstream(dir_ + "/in", std::ios::binary) << input;
    std::vector<std::string> envStore;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry(*e);
      const bool proxy =
          entry.find("_proxy=") != std::string::npos || entry.find("_PROXY=") != std::string::npos;
      const std::string name = entry.substr(0, entry.find('=') + 1);
      const bool replaced = std::any_of(
          env.begin(), env.end(), [&](const std::string& e) { return e.rfind(name, 0) == 0; });
      if (entry.rfind("VELMORA_", 0) != 0 && !proxy && !replaced) envStore.push_back(entry);
    }
    envStore.insert(envStore.end(), env.begin(), env.end());
    const std::vector<char*> args = pointers(argv);
    const std::vector<char*> envp = pointers(envStore);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, (dir_ + "/in").c_str(), O_RDONLY, 0);
    const std::pair<int, const char*> outputs[] = {{STDOUT_FILENO, "/out"},
                                                   {STDERR_FILENO, "/err"}};
    for (const auto& [fd, name] : outputs) {
      posix_spawn_file_actions_addopen(&actions, fd, (dir_ + name).c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) {
      ADD_FAILURE() << "cannot run " << argv[0];
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
  }
  ~ChildProcess() {
    if (pid_ > 0) finish();
    for (const char* name : {"/in", "/out", "/err"}) std::remove((dir_ + name).c_str());
    rmdir(dir_.c_str());
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void signal(int number) { kill(pid_, number); }
  /// False once the child has ended (its status is kept for finish()).
  bool running() {
    if (pid_ > 0 && ended_ == 0 && waitpid(pid_, &status_, WNOHANG) == pid_) ended_ = 1;
    return pid_ > 0 && ended_ == 0;
  }
  /// What the child has written to standard error so far.
  std::string errors() const { return read("/err"); }

  /// Waits for the end (killing the child after 60 s) and collects what it wrote.
  Exit finish() {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (running()) {
      if (std::chrono::steady_clock::now() > giveUp) {
        ADD_FAILURE() << "the child did not end within 60 s";
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const bool ran = pid_ > 0;
    pid_ = -1;
    return {ran && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1, read("/out"), errors()};
  }

 private:
  static std::vector<char*> pointers(std::vector<std::string>& store) {
    std::vector<char*> out;
    for (std::string& s : store) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
  }
  std::string read(const char* name) const {
    std::ostringstream text;
    text << std::ifstream(dir_ + name, std::ios::binary).rdbuf();
    return text.str();
  }

  std::string dir_;
  pid_t pid_ = -1;
  int status_ = 0;
  int ended_ = 0;
};

/// Runs `argv` to its end; see ChildProcess.
inline Exit runProgram(std::vector<std::string> argv, const std::vector<std::string>& env,
                       const std::string& input = {}) {
  return ChildProcess(std::move(argv), env, input).finish();
}

}  // namespace velmora::test
