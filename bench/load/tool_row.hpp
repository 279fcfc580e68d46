#pragma once

#include <string>
#include <vector>

#include "load/metrics.hpp"

namespace bench {

/// Runs `command`, a load generator whose output is read in `format` ("wrk" or "h2load"), and
/// measures it as a client row: its own request count and duration, and the CPU time, peak RSS,
/// threads and sockets of its process.
RowResult runToolRow(const std::string& name, const std::string& format,
                     const std::vector<std::string>& command);

}  // namespace bench
