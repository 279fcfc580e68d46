// Which of the service's refusals concern a whole campaign, and what the operator is told.

#pragma once

#include <string>

namespace velmora::cli {

/// True when the service's refusal `code` would refuse every batch of the campaign alike: it is
/// about the account, its sender line, its credit or the service, a code this version does not
/// know, or the text when every batch carries the same one (`oneText`). Such a batch is sent again
/// by the next run; one refused for its own recipients (`NumberError`, ...) is not, unless asked.
bool campaignWide(long long code, bool oneText);

/// The line that names a campaign-wide refusal and what to do about it.
std::string campaignRefusalLine(long long code);

}  // namespace velmora::cli
