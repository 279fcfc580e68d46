#include "phone_numbers.hpp"

#include <phonenumbers/phonenumberutil.h>

#include <set>

namespace velmora::cli {
namespace {

using i18n::phonenumbers::PhoneNumber;
using i18n::phonenumbers::PhoneNumberUtil;

// The region code under which only numbers with a country code can be read.
constexpr const char* kNoRegion = "ZZ";

}  // namespace

bool isKnownRegion(const std::string& region) {
  std::set<std::string> regions;
  PhoneNumberUtil::GetInstance()->GetSupportedRegions(&regions);
  return regions.count(region) != 0;
}

std::string comparisonKey(std::string_view written, const std::string& region) {
  const bool international = !written.empty() && written.front() == '+';
  if (!international && region.empty()) return std::string(written);
  const PhoneNumberUtil& util = *PhoneNumberUtil::GetInstance();
  PhoneNumber number;
  const std::string text(written);
  if (util.Parse(text, region.empty() ? kNoRegion : region, &number) !=
          PhoneNumberUtil::NO_PARSING_ERROR ||
      !util.IsPossibleNumber(number)) {
    return text;
  }
  std::string key;
  util.Format(number, PhoneNumberUtil::E164, &key);
  return key;
}

}  // namespace velmora::cli
