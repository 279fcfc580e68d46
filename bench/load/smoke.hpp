#pragma once

#include <string>

namespace bench {

/// Runs every kind of row for a few hundred requests against in-process HTTP and HTTPS servers
/// on loopback that give the benchmark's fixed answers, then writes the report. Returns 0 when
/// every row completed every request with the expected answer and produced sane figures.
int runSmoke(const std::string& certFile, const std::string& keyFile);

}  // namespace bench
