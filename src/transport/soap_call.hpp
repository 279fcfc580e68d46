#pragma once

#include <memory>

#include "transport/call.hpp"
#include "transport/transport.hpp"
#include "transport/xml_collector.hpp"

namespace velmora::detail {

/// Turns a 2xx SOAP exchange into the answer routine's input, printing the body: the unrun
/// parser over the body (which it takes). Call it once `exchangeFailure` found nothing wrong.
std::unique_ptr<XmlAnswer> xmlAnswerFromBody(HttpResponse& response, const Reporter& reporter);

/// Any finished exchange, printing to standard output: the parser over a 2xx answer, otherwise
/// null (benchmarks).
std::unique_ptr<XmlAnswer> xmlAnswerFromResponse(HttpResponse& response);

}  // namespace velmora::detail
