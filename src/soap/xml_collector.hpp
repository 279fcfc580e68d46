#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::detail {

/// Collects the character data of one parsed answer and the internal entities it declares.
/// Made fresh for each answer and used by the one thread that runs the parse.
class ParserDelegate {
 public:
  /// Every internal general entity declared in the document type declaration: name to value.
  /// A later declaration of the same name replaces the earlier one.
  std::map<std::string, std::optional<std::string>> entities;
  /// All character data outside CDATA sections, joined in document order without separators;
  /// absent while none has been reported.
  std::optional<std::string> result;

  /// Appends one chunk of character data to `result`.
  void foundCharacters(std::string_view chunk);
  /// Records `value` under `name`, replacing an earlier entry.
  void foundInternalEntityDeclaration(std::string name, std::optional<std::string> value);
};

/// What running the parser over an answer ended with.
struct ParseOutcome {
  bool wellFormed = true;
  /// When not well-formed: the parser's message and where it stopped, e.g.
  /// "unclosed token at line 3, column 7" (both counted from 1).
  std::string error;
};

/// An answer body handed over by the SOAP call with its parser not yet run. It owns the body.
class XmlAnswer {
 public:
  explicit XmlAnswer(std::string body) : body_(std::move(body)) {}

  /// Parses the whole body in one pass, reporting to `delegate`. External entities and external
  /// DTDs are never loaded, and entity expansion stops with an error once it amplifies the input
  /// beyond a small factor, so a hostile answer costs bounded time and memory.
  /// Each call is an independent parse.
  ParseOutcome parse(ParserDelegate& delegate) const;

  const std::string& body() const noexcept { return body_; }

 private:
  std::string body_;
};

}  // namespace velmora::detail
