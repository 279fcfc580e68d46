#include <chrono>
#include <thread>

#include "calls.hpp"

namespace velmora::campaign {
namespace {

class SystemClock final : public Clock {
 public:
  double now() override {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  void sleep(double seconds) override {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  }
};

}  // namespace

Clock::~Clock() = default;

std::shared_ptr<Clock> systemClock() {
  static const std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
  return clock;
}

std::shared_ptr<Clock> clockOr(const std::shared_ptr<Clock>& given) {
  return given ? given : systemClock();
}

}  // namespace velmora::campaign
