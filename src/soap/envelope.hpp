#pragma once

#include <string>
#include <string_view>

namespace velmora::detail {

/// The values of one verification-code request envelope, in the order they are written.
struct EnvelopeFields {
  std::string_view serviceNamespace;  ///< default namespace of the operation element
  std::string_view operation;         ///< "AutoSendCode", "CheckSendCode", "SendMessageWithCode"
  std::string_view username;
  std::string_view password;
  std::string_view number;   ///< the phone number, written as <ReciptionNumber>
  std::string_view lastTag;  ///< "Footer" or "Code"
  std::string_view lastValue;
};

/// The SOAP 1.2 request envelope: ten lines joined by line feeds, indented with blanks, no XML
/// declaration and no final line feed. Every value is XML-escaped, so a value without markup
/// characters and carriage returns is written byte for byte.
std::string buildEnvelope(const EnvelopeFields& fields);

/// Appends `text` to `out` with & < > " ' replaced by their predefined entity references and
/// carriage return by a character reference, so that an XML reader gets `text` back unchanged.
void appendXmlEscaped(std::string& out, std::string_view text);

}  // namespace velmora::detail
