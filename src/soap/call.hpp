#pragma once

#include <memory>
#include <string>

#include "call/call_context.hpp"
#include "call/call_queue.hpp"
#include "soap/answer.hpp"
#include "soap/xml_collector.hpp"
#include "velmora/transport.hpp"

namespace velmora::detail {

/// Posts `envelope` to `request.url` (the client's SOAP endpoint, with its trust, time-outs and
/// proxy) with `action` as its SOAPAction. `answer` runs once on `transport`'s completion
/// thread.
void postSoap(CallQueue& queue, HttpRequest request, CallContext context, std::string envelope,
              const std::string& action, XmlCompletion answer);

/// Turns a 2xx SOAP exchange into the answer routine's input, printing the body: the unrun
/// parser over the body (which it takes). Call it once `exchangeFailure` found nothing wrong.
std::unique_ptr<XmlAnswer> xmlAnswerFromBody(HttpResponse& response, const CallContext& context);

}  // namespace velmora::detail
