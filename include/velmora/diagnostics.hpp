#pragma once

#include <string_view>

namespace velmora {

/// What a printed line reports.
enum class DiagnosticKind {
  RequestBody,  ///< the JSON body of a request, printed before it is sent; may span lines
  Status,       ///< a status outside 2xx and the description of that response
  Transport,    ///< a failed exchange: connection, TLS, time-out, deadline, size limit
  Answer,       ///< what was read from an answer ("Not containing JSON", "found text: ...")
  Refused,      ///< a call refused before sending: a value or a setting the library will not send
  Notice,       ///< anything else ("I AM BACK", a completion that threw)
};

/// One line of the library's diagnostics, handed to `Options::diagnostics`.
/// The views point into the library's own buffers and are valid during that call only: copy
/// what you keep.
struct Diagnostic {
  std::string_view operation;  ///< the operation's name, e.g. "SendMessage"
  DiagnosticKind kind;         ///< what the line reports
  /// The exact text, without the line feed that standard output would add; a request body or
  /// a SOAP answer's body may hold line breaks of its own.
  std::string_view line;
};

}  // namespace velmora
