// The progress of a campaign on standard error.

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>

#include "cli.hpp"

namespace velmora::cli {

/// Shows recipients done of a total, the rate and the time left on standard error: a bar
/// redrawn in place on a terminal, or with -v a plain line every few seconds when standard error
/// is not one; nothing otherwise, and nothing with -q. One thread.
class Progress {
 public:
  /// `total` recipients are to be handled by this run.
  Progress(std::size_t total, Verbosity verbosity);
  /// Ends the bar's line.
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  /// `done` recipients are handled so far; shown when enough time passed since the last showing.
  void update(std::size_t done);

 private:
  void show(std::size_t done);

  using Clock = std::chrono::steady_clock;
  std::size_t total_;
  bool terminal_;
  bool enabled_;
  Clock::time_point start_ = Clock::now();
  Clock::time_point shown_{};
  std::size_t done_ = 0;
};

}  // namespace velmora::cli
