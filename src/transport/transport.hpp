#pragma once

#include <cstddef>

#include "velmora/transport.hpp"

namespace velmora::detail {

/// Largest answer body accepted; a larger one ends the exchange as a failure.
inline constexpr std::size_t kMaxBodyBytes = 16u * 1024u * 1024u;

}  // namespace velmora::detail
