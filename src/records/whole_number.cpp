#include "records/whole_number.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace velmora::detail {
namespace {

WholeNumber unreadable(const char* problem) {
  return {std::nullopt, problem};
}

constexpr const char* kOutOfRange = "is outside the signed 64-bit range";

WholeNumber fromDigits(const std::string& text) {
  std::int64_t value = 0;
  const char* end = text.data() + text.size();
  const bool digitsOnly =
      !text.empty() && text != "-" &&
      text.find_first_not_of("0123456789", text[0] == '-' ? 1 : 0) == std::string::npos;
  if (!digitsOnly) return unreadable("is a string that is not a whole decimal number");
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end) return unreadable(kOutOfRange);
  return {value, nullptr};
}

WholeNumber fromFloat(double d) {
  // Whole values written with a fraction (1001.0) count; the bounds keep the cast defined.
  if (std::floor(d) != d) return unreadable("is not a whole number");
  if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) return unreadable(kOutOfRange);
  return {static_cast<std::int64_t>(d), nullptr};
}

}  // namespace

WholeNumber readWholeNumber(const nlohmann::json& value) {
  if (value.is_null()) return unreadable("is null");
  if (value.is_string()) return fromDigits(value.get_ref<const std::string&>());
  if (value.is_number_unsigned()) {
    const auto u = value.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return unreadable(kOutOfRange);
    }
    return {static_cast<std::int64_t>(u), nullptr};
  }
  if (value.is_number_integer()) return {value.get<std::int64_t>(), nullptr};
  if (value.is_number_float()) return fromFloat(value.get<double>());
  return unreadable("is neither a number nor a string of digits");
}

}  // namespace velmora::detail
