#pragma once

#include <memory>
#include <string>

#include "call/call_context.hpp"
#include "call/call_queue.hpp"
#include "call/refusal.hpp"
#include "velmora/options.hpp"
#include "velmora/transport.hpp"

namespace velmora::detail {

/// A client's options, checked once when the client is made. Immutable afterwards and shared
/// with the calls in flight, which may outlive the client.
struct ClientSettings {
  explicit ClientSettings(Options options);

  /// The request every call of this client starts from: trust, time-outs, proxy, `url`.
  HttpRequest request(std::string url) const;
  /// A new call of `operation`, its lines going where this client says.
  CallContext context(const char* operation) const { return {operation, sink, {}, {}, 0}; }

  /// How this client's calls travel: through its own queue (retries, pacing, the count that
  /// `drain` waits on) to `Options::transport`, or else to the shared session, looked up per
  /// call so that a child process made by fork() uses its own.
  CallQueue& transport() const { return *queue; }

  Options options;
  std::shared_ptr<const DiagnosticSink> sink;  ///< null: standard output
  std::string restBase;  ///< the checked REST origin and prefix, without a trailing slash
  std::string soapUrl;   ///< the checked SOAP endpoint
  Refusal restRefusal;   ///< why the JSON operations send nothing; empty when they may send
  Refusal soapRefusal;   ///< the same for the verification-code operations
  std::shared_ptr<CallQueue> queue;  ///< shared with the calls that wait or run in it
};

}  // namespace velmora::detail
