#include "load/rows.hpp"

#include <stdexcept>

#include "rest/json_encoder.hpp"
#include "rest/request_bodies.hpp"

namespace bench {

std::string sendMessageRequestBody() {
  const velmora::detail::JsonEncoder encoder;
  return velmora::detail::sendMessageBody(encoder, kSender, kText, {kMobile}, kGroup, 0);
}

RowResult runRow(const RowPlan& plan) {
  if (plan.kind == "velmora-send") return runVelmoraSend(plan);
  if (plan.kind == "velmora-check") return runVelmoraCheck(plan);
  if (plan.kind == "raw-poll") return runRawPoll(plan);
  if (plan.kind == "raw-epoll") return runRawEpoll(plan);
  if (plan.kind == "pool") return runBlockingPool(plan);
  throw std::invalid_argument("unknown row kind: " + plan.kind);
}

}  // namespace bench
