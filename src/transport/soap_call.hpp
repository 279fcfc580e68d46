#pragma once

#include <memory>

#include "transport/session.hpp"
#include "transport/xml_collector.hpp"

namespace velmora::detail {

/// Turns a finished SOAP exchange into the answer routine's input, printing the failure lines or
/// the body: the unrun parser over a 2xx answer's body (which it takes), otherwise null.
std::unique_ptr<XmlAnswer> xmlAnswerFromResponse(HttpResponse& response);

}  // namespace velmora::detail
