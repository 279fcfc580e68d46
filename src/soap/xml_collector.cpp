#include "soap/xml_collector.hpp"

// The amplification limits are declared only for parsers built with DTD support, which is what
// makes entity expansion possible in the first place (and so a link error without it).
#ifndef XML_DTD
#define XML_DTD
#endif
#include <expat.h>

#include <climits>
#include <memory>

namespace velmora::detail {

void ParserDelegate::foundCharacters(std::string_view chunk) {
  if (result) {
    result->append(chunk);
  } else {
    result.emplace(chunk);
  }
}

void ParserDelegate::foundInternalEntityDeclaration(std::string name,
                                                    std::optional<std::string> value) {
  entities.insert_or_assign(std::move(name), std::move(value));
}

namespace {

// Entity expansion may produce at most this many times the bytes read so far, once it has
// produced this much output. An honest answer declares no entities at all; these keep a
// billion-laughs answer to a few megabytes of collected text.
constexpr float kMaxAmplification = 16.0f;
constexpr unsigned long long kAmplificationThreshold = 1024 * 1024;

struct ParseState {
  ParserDelegate& delegate;
  bool inCdata = false;
};

ParseState& stateOf(void* userData) {
  return *static_cast<ParseState*>(userData);
}

void onCharacters(void* userData, const XML_Char* text, int length) {
  ParseState& state = stateOf(userData);
  // CDATA sections are markup the collector leaves alone: only plain character data counts.
  if (state.inCdata) return;
  state.delegate.foundCharacters(std::string_view(text, static_cast<std::size_t>(length)));
}

void onCdataStart(void* userData) {
  stateOf(userData).inCdata = true;
}
void onCdataEnd(void* userData) {
  stateOf(userData).inCdata = false;
}

void onEntityDeclaration(void* userData, const XML_Char* name, int isParameterEntity,
                         const XML_Char* value, int valueLength, const XML_Char* /*base*/,
                         const XML_Char* systemId, const XML_Char* /*publicId*/,
                         const XML_Char* /*notationName*/) {
  // Only internal general entities are recorded: external ones are never loaded, and parameter
  // entities live in a separate name space that would collide with general names.
  if (isParameterEntity || value == nullptr || systemId != nullptr) return;
  stateOf(userData).delegate.foundInternalEntityDeclaration(
      name, std::string(value, static_cast<std::size_t>(valueLength)));
}

struct ParserDeleter {
  void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

}  // namespace

ParseOutcome XmlAnswer::parse(ParserDelegate& delegate) const {
  if (body_.size() > static_cast<std::size_t>(INT_MAX)) {
    return {false, "answer too large to parse"};
  }
  const std::unique_ptr<XML_ParserStruct, ParserDeleter> parser(XML_ParserCreate(nullptr));
  if (!parser) return {false, "out of memory"};
  XML_Parser p = parser.get();

  ParseState state{delegate};
  XML_SetUserData(p, &state);
  XML_SetCharacterDataHandler(p, onCharacters);
  XML_SetCdataSectionHandler(p, onCdataStart, onCdataEnd);
  XML_SetEntityDeclHandler(p, onEntityDeclaration);
  // No external entity handler is installed, and parameter entities stay unparsed, so nothing
  // outside the body is ever read. Both are the parser's defaults; they are stated here because
  // the answer arrives over plain HTTP and may be hostile.
  XML_SetParamEntityParsing(p, XML_PARAM_ENTITY_PARSING_NEVER);
  XML_SetBillionLaughsAttackProtectionMaximumAmplification(p, kMaxAmplification);
  XML_SetBillionLaughsAttackProtectionActivationThreshold(p, kAmplificationThreshold);

  if (XML_Parse(p, body_.data(), static_cast<int>(body_.size()), XML_TRUE) == XML_STATUS_OK) {
    return {};
  }
  // The parser counts columns from 0; people count them from 1.
  return {false, std::string(XML_ErrorString(XML_GetErrorCode(p))) + " at line " +
                     std::to_string(XML_GetCurrentLineNumber(p)) + ", column " +
                     std::to_string(XML_GetCurrentColumnNumber(p) + 1)};
}

}  // namespace velmora::detail
