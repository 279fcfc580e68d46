// Telling whether two writings name one phone number, with the regions' numbering plans.

#pragma once

#include <string>
#include <string_view>

namespace velmora::cli {

/// True when `region` is a two-letter region code (upper case, "IR") whose numbering plan is known.
bool isKnownRegion(const std::string& region);

/// What `written` is compared by: the number in E.164 form ("+989120000001") when it is in
/// international form ("+...") or, with a `region`, in that region's national form, and could be
/// a number there by its length; `written` itself otherwise (a short code, no region given).
std::string comparisonKey(std::string_view written, const std::string& region);

}  // namespace velmora::cli
