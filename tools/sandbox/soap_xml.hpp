#pragma once

#include <map>
#include <string>
#include <string_view>
#include <variant>

namespace velmora::sandbox {

/// The SOAP 1.2 envelope namespace.
inline constexpr std::string_view kSoap12Namespace = "http://www.w3.org/2003/05/soap-envelope";

/// The operation of a SOAP request: the first element inside the envelope's Body, with the text
/// of each of its child elements by local name.
struct SoapRequest {
  std::string operation;  ///< local name
  std::string operationNamespace;
  std::map<std::string, std::string> fields;
};

/// Reads a SOAP 1.2 request envelope, or says in a short sentence why it cannot. Documents with
/// a document type declaration are refused, so no entity is ever expanded.
std::variant<SoapRequest, std::string> parseSoapRequest(std::string_view body);

/// A compact response envelope (no white space between elements, so that a client collecting
/// all character data reads exactly `value`): <operationResponse><operationResult>value...
/// `value` must need no escaping (a number or a truth value).
std::string soapResponse(std::string_view serviceNamespace, std::string_view operation,
                         std::string_view value);

/// A SOAP 1.2 fault envelope; `sender` picks the Sender or the Receiver code. `reason` must
/// need no escaping: it is made of fixed text and XML names only.
std::string soapFault(bool sender, std::string_view reason);

}  // namespace velmora::sandbox
