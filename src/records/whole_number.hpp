#pragma once

#include <cstdint>
#include <optional>

#include <nlohmann/json.hpp>

namespace velmora::detail {

/// A whole number read from a JSON value, or why it is not one.
struct WholeNumber {
  std::optional<std::int64_t> value;
  const char* problem = nullptr;  ///< set exactly when `value` is not, e.g. "is null"
};

/// Reads a whole number in signed 64 bits from a JSON number (1001, 1001.0) or from a string of
/// decimal digits with an optional minus sign ("1001"), as some gateways write numbers.
WholeNumber readWholeNumber(const nlohmann::json& value);

}  // namespace velmora::detail
