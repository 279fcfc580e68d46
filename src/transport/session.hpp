#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "transport/transport.hpp"

namespace velmora::detail {

/// The process-wide HTTP session: one background thread drives every transfer with libcurl's
/// multi interface. Other threads only enqueue work and wake it. Completions run on that thread,
/// one at a time; an exception escaping one is caught and reported as one printed line.
class Session final : public Transport {
 public:
  /// The session, started on first use. Lives until the process exits.
  static Session& shared();

  /// Starts `request`; `onDone` runs once on the session thread when the exchange ends.
  void submit(HttpRequest request, std::function<void(HttpResponse&)> onDone) override;

  /// Runs `task` once on the session thread, soon (used to fail a call without sending it).
  void post(std::function<void()> task) override;

  /// True on the session thread.
  bool onSessionThread() const;
  bool onCompletionThread() const override { return onSessionThread(); }

  class Impl;

 private:
  Session();
  std::unique_ptr<Impl> impl;
};

}  // namespace velmora::detail
