#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "call/exchange.hpp"
#include "soap/xml_collector.hpp"

// Reading the verification-code answers: the text the collector found, as a number or a truth.
namespace velmora::detail {

/// `text` without leading and trailing XML white space (blank, tab, carriage return, line feed).
std::string_view trimXmlSpace(std::string_view text) noexcept;

/// Reads the whole of `text` as an optional "+" or "-" followed by one or more ASCII digits
/// within the signed 64-bit range. Anything else, white space included, gives nothing.
std::optional<std::int64_t> readDecimal(std::string_view text) noexcept;

/// true for exactly "true", false for exactly "false", nothing otherwise (case matters).
std::optional<bool> readTruth(std::string_view text) noexcept;

/// The answer routine of a SOAP call: the unrun parser over a 2xx answer, or null and why.
using XmlCompletion = std::function<void(std::unique_ptr<XmlAnswer>, const std::optional<Failure>&,
                                         const CallContext& call)>;

/// The answer routine of the operations that read a number: parses the answer, prints what it
/// found and hands `completion` the number, or nothing when there is none.
XmlCompletion numberAnswer(std::function<void(std::optional<std::int64_t>)> completion);

/// The answer routine of CheckSendCode: a well-formed answer without any text means "not valid".
XmlCompletion truthAnswer(std::function<void(std::optional<bool>)> completion);

}  // namespace velmora::detail
