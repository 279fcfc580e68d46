#include "refusals.hpp"

#include "velmora/codes.hpp"

namespace velmora::campaign {

bool campaignWide(long long code, bool oneText) {
  const auto refusal = static_cast<ResultCode>(code);
  if (refusal == ResultCode::MessageLengthError) return oneText;
  return scopeOf(refusal) != RefusalScope::Request && refusal != ResultCode::Success;
}

namespace {

// What the service refused, and what the operator does about it, for the codes a campaign
// meets most; the others are described by their scope.
struct Advice {
  ResultCode code;
  const char* what;
  const char* todo;
};

constexpr Advice kAdvice[] = {
    {ResultCode::UserError, "the service refused the account's credentials",
     "fix them and run the same command again"},
    {ResultCode::CreditError, "the account's credit does not cover the campaign",
     "top it up and run the same command again"},
    {ResultCode::IPError, "the service refuses requests from this address",
     "have it allowed and run the same command again"},
    {ResultCode::OwnNumberError, "the service does not take the sender line from this account",
     "have the line added to the account and run the same command again"},
    {ResultCode::MessageLengthError, "the service refused the text",
     "a changed text is another campaign, to be sent with a new journal"},
};

}  // namespace

std::string campaignRefusalLine(long long code) {
  const auto refusal = static_cast<ResultCode>(code);
  const std::string named = " (" + std::string(name(refusal)) + " " + std::to_string(code) + "): ";
  for (const Advice& a : kAdvice) {
    if (a.code == refusal) return a.what + named + a.todo;
  }
  switch (scopeOf(refusal)) {
    case RefusalScope::Service:
      return "the service failed" + named + "run the same command again later";
    case RefusalScope::Unknown:
      return "the service refused with a code this version does not know" + named +
             "find out why before running the same command again";
    default:
      return "the service refused the account" + named + "fix it and run the same command again";
  }
}

}  // namespace velmora::campaign
