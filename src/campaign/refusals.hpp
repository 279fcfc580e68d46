// Which of the service's refusals concern a whole campaign, and what the operator is told.

#pragma once

#include <string>

#include "velmora/campaign.hpp"

namespace velmora::campaign {

/// The line that names a campaign-wide refusal and what to do about it.
std::string campaignRefusalLine(long long code);

}  // namespace velmora::campaign
