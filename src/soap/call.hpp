#pragma once

#include <memory>
#include <string>

#include "soap/answer.hpp"
#include "soap/xml_collector.hpp"
#include "transport/call.hpp"
#include "transport/client_settings.hpp"
#include "transport/transport.hpp"

namespace velmora::detail {

/// Posts `envelope` to the client's SOAP endpoint with `action` as its SOAPAction, or, when
/// `refusal` (a whole line) is not empty, prints it and sends nothing. `answer` runs once on the
/// completion thread. Keeps nothing of `settings` beyond the call.
void postSoap(const ClientSettings& settings, const Reporter& reporter, std::string refusal,
              std::string envelope, const std::string& action, XmlCompletion answer);

/// Turns a 2xx SOAP exchange into the answer routine's input, printing the body: the unrun
/// parser over the body (which it takes). Call it once `exchangeFailure` found nothing wrong.
std::unique_ptr<XmlAnswer> xmlAnswerFromBody(HttpResponse& response, const Reporter& reporter);

/// Any finished exchange, printing to standard output: the parser over a 2xx answer, otherwise
/// null (benchmarks).
std::unique_ptr<XmlAnswer> xmlAnswerFromResponse(HttpResponse& response);

}  // namespace velmora::detail
