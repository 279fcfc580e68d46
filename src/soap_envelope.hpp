#pragma once

#include <cstdint>
#include <optional>
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

/// `text` without leading and trailing XML white space (blank, tab, carriage return, line feed).
std::string_view trimXmlSpace(std::string_view text) noexcept;

/// Reads the whole of `text` as an optional "+" or "-" followed by one or more ASCII digits
/// within the signed 64-bit range. Anything else, white space included, gives nothing.
std::optional<std::int64_t> readDecimal(std::string_view text) noexcept;

/// true for exactly "true", false for exactly "false", nothing otherwise (case matters).
std::optional<bool> readTruth(std::string_view text) noexcept;

}  // namespace velmora::detail
