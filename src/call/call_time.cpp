#include "call/call_time.hpp"

#include <utility>

#include "transport/session.hpp"

namespace velmora::detail {
namespace {

class RealTime final : public CallTime {
 public:
  SteadyClock::time_point now() const override { return SteadyClock::now(); }
  void at(SteadyClock::time_point when, std::function<void()> task) override {
    Session::shared().runAt(when, std::move(task));
  }
};

}  // namespace

std::shared_ptr<CallTime> realTime() {
  static const std::shared_ptr<CallTime> time = std::make_shared<RealTime>();
  return time;
}

}  // namespace velmora::detail
