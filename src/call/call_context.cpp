#include "call/call_context.hpp"

#include "text/output.hpp"

namespace velmora::detail {

void CallContext::print(DiagnosticKind kind, std::string_view line) const {
  if (!sink || !*sink) {
    printLine(line);
    return;
  }
  try {
    (*sink)(Diagnostic{operation, kind, line});
  } catch (...) {
    // The program's own sink failed; there is nowhere better to report that.
  }
}

}  // namespace velmora::detail
