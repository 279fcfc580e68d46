// The I/O thread's wait for the completions it hands over: it follows how soon their calls
// arrive, shrinks when they come late, and grows back as soon as they come early again.

#include "transport/private/hand_over_wait.hpp"

#include <gtest/gtest.h>

namespace velmora::detail {
namespace {

using std::chrono::microseconds;

// Microseconds the wait lasts after `at`, the moment of a hand-over.
long waitFrom(const HandOverWait& wait, Clock::time_point at) {
  return static_cast<long>(std::chrono::duration_cast<microseconds>(wait.until() - at).count());
}

// Microseconds the wait lasts after a hand-over followed by a call `took` later.
long waitAfter(HandOverWait& wait, microseconds took) {
  const Clock::time_point at = Clock::now();
  wait.handedOver(at);
  wait.callArrived(at + took);
  wait.handedOver(at);
  return waitFrom(wait, at);
}

const long kLeast = HandOverWait::kLeast.count();
const long kMost = HandOverWait::kMost.count();

TEST(HandOverWait, FollowsHowSoonCallsArriveAndRecoversFromLateOnes) {
  HandOverWait wait;
  EXPECT_EQ(waitAfter(wait, microseconds(15)), 30);
  EXPECT_EQ(waitAfter(wait, microseconds(80)), kMost);
  EXPECT_EQ(waitAfter(wait, microseconds(0)), kLeast);
  // Late calls halve it down to the least...
  waitAfter(wait, microseconds(20));
  EXPECT_EQ(waitAfter(wait, microseconds(500)), 20);
  for (int i = 0; i < 10; ++i) waitAfter(wait, microseconds(500));
  EXPECT_EQ(waitAfter(wait, microseconds(500)), kLeast);
  // ...and one early call, even one that came after the wait was over, restores it.
  EXPECT_EQ(waitAfter(wait, microseconds(12)), 24);
}

}  // namespace
}  // namespace velmora::detail
