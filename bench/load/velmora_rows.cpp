// Rows that drive the library through its public operations.

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "load/rows.hpp"
#include "transport/session.hpp"
#include "velmora/client.hpp"
#include "velmora/failure.hpp"

namespace bench {
namespace {

// Starts request `i`; `done(failure)` must be called once when it has ended, with an empty
// text when it ended in the expected answer.
using Done = std::function<void(const char* failure)>;
using StartFn = std::function<void(std::size_t i, Done done)>;

// Keeps plan.window requests in flight, each completion starting the next one, or, with a
// window of 0, submits every request from this thread before any completion may run: the
// completion thread is held until the last call has returned (transfers go on meanwhile). With
// the inline executor, completions run on the I/O thread as answers come, calls still going out.
RowResult drive(const RowPlan& plan, const StartFn& start) {
  Tracker tracker(plan.count);
  std::atomic<std::size_t> issued{0};
  std::function<void(std::size_t)> launch = [&](std::size_t i) {
    tracker.submitted(i);
    start(i, [&, i](const char* failure) {
      const std::int64_t endNs = nowNs();
      // The next request starts before this one is counted: once the last is counted, the
      // waiting thread may return and take this function's locals with it.
      const std::size_t next = plan.window == 0 ? plan.count : issued++;
      if (next < plan.count) launch(next);
      tracker.finished(i, std::string(failure), endNs);
    });
  };
  RowMeasurement measurement;
  if (plan.window == 0 && plan.inlineExecutor) {
    for (std::size_t i = 0; i < plan.count; ++i) launch(i);
  } else if (plan.window == 0) {
    std::promise<void> gate;
    velmora::detail::Session::shared().post(
        [opened = gate.get_future().share()] { opened.wait(); });
    for (std::size_t i = 0; i < plan.count; ++i) launch(i);
    gate.set_value();
  } else {
    const std::size_t first = std::min(plan.window, plan.count);
    issued = first;
    for (std::size_t i = 0; i < first; ++i) launch(i);
  }
  const bool ended = tracker.wait(plan.limit);
  RowResult row = measurement.finish(tracker);
  if (!ended) {
    // Requests cannot be withdrawn from the library: report what finished and leave at once.
    std::fprintf(stderr, "%s: only %zu of %zu requests ended within %lld s\n", plan.name.c_str(),
                 tracker.completed(), plan.count, static_cast<long long>(plan.limit.count()));
    std::fflush(nullptr);
    std::_Exit(3);
  }
  return row;
}

// Why the call whose completion runs now has no value (read inside that completion).
const char* failureReason() {
  const velmora::Failure* failure = velmora::currentFailure();
  return failure != nullptr && !failure->message.empty() ? failure->message.c_str() : "no Result";
}

velmora::Options optionsFor(const RowPlan& plan) {
  velmora::Options options;
  options.restBaseUrl = plan.url;
  options.soapUrl = plan.url;
  options.caFile = plan.caFile;
  options.timeout = std::chrono::seconds(30);
  if (plan.quiet) options.diagnostics = [](const velmora::Diagnostic&) {};
  if (plan.connectionsPerOrigin > 0) options.maxConnectionsPerOrigin = plan.connectionsPerOrigin;
  if (plan.streamsPerOrigin > 0) options.maxStreamsPerOrigin = plan.streamsPerOrigin;
  if (plan.inlineExecutor) options.executor = velmora::inlineExecutor();
  return options;
}

}  // namespace

RowResult runVelmoraSend(const RowPlan& plan) {
  velmora::Velmora client("bench", "secret", optionsFor(plan));
  const std::vector<std::string> mobiles{kMobile};
  return drive(plan, [&](std::size_t, Done done) {
    client.SendMessage(kSender, kText, mobiles, kGroup, 0,
                       [done = std::move(done)](std::shared_ptr<velmora::Result> result) {
                         if (!result) return done(failureReason());
                         done(result->Code() == velmora::ResultCode::Success ? "" : "not Success");
                       });
  });
}

RowResult runVelmoraCheck(const RowPlan& plan) {
  velmora::Velmora client("bench", "secret", optionsFor(plan));
  return drive(plan, [&](std::size_t, Done done) {
    client.CheckSendCode(kMobile, "4711", [done = std::move(done)](std::optional<bool> valid) {
      done(!valid ? failureReason() : *valid ? "" : "false");
    });
  });
}

}  // namespace bench
