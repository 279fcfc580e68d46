#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "load/metrics.hpp"

namespace bench {

/// Writes the results table in Markdown, with each row's throughput and CPU time as ratios of
/// the best windowed raw-libcurl row of its protocol, followed by the checks of the targets.
/// Row names read "<client> <protocol> <window>", e.g. "velmora h2 all" or "raw-poll h1 w16".
/// Returns the number of targets missed.
int writeReport(std::ostream& out, const std::vector<RowResult>& rows);

}  // namespace bench

namespace bench {

/// Writes the micro-benchmarks of Google Benchmark's JSON output at `path` as a Markdown table,
/// each of the library's rows beside its reference row, and returns the number of rows that
/// are slower than their reference.
int writeMicroReport(std::ostream& out, const std::string& path);

}  // namespace bench
