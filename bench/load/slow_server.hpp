#pragma once

#include <chrono>
#include <string>

namespace bench {

/// Serves the fixed JSON answer to every POST after `delay`, as a distant service would, over
/// TLS (certFile, keyFile) and plain HTTP on 127.0.0.1; prints both ports on one line ("TLS
/// PLAIN") and returns 0 once SIGTERM or SIGINT arrives.
int runSlowServer(const std::string& certFile, const std::string& keyFile,
                  std::chrono::milliseconds delay);

}  // namespace bench
