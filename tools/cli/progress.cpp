#include "progress.hpp"

#include <unistd.h>

#include <string>

namespace velmora::cli {
namespace {

constexpr int kBarWidth = 30;

std::string duration(double seconds) {
  const long total = static_cast<long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  return text;
}

}  // namespace

Progress::Progress(std::size_t total, Verbosity verbosity)
    : total_(total),
      terminal_(::isatty(STDERR_FILENO) == 1),
      enabled_(verbosity == Verbosity::Verbose || (terminal_ && verbosity == Verbosity::Normal)) {}

Progress::~Progress() {
  if (!enabled_) return;
  show(done_);
  if (terminal_) std::fputc('\n', stderr);
}

void Progress::update(std::size_t done) {
  done_ = done;
  const auto every = terminal_ ? std::chrono::milliseconds(200) : std::chrono::seconds(5);
  if (enabled_ && Clock::now() - shown_ >= every) show(done);
}

void Progress::show(std::size_t done) {
  shown_ = Clock::now();
  const double elapsed = std::chrono::duration<double>(shown_ - start_).count();
  const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
  const std::string left =
      rate > 0 ? ", " + duration(static_cast<double>(total_ - done) / rate) + " left" : "";
  const int filled = total_ == 0 ? kBarWidth : static_cast<int>(kBarWidth * done / total_);
  const std::string bar =
      terminal_ ? "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "] "
                : "velmora: ";
  std::fprintf(stderr, "%s%s%zu of %zu recipients, %.0f/s%s%s", terminal_ ? "\r" : "", bar.c_str(),
               done, total_, rate, left.c_str(), terminal_ ? "\x1b[K" : "\n");
  std::fflush(stderr);
}

}  // namespace velmora::cli
