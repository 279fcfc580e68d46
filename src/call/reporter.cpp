#include "call/reporter.hpp"

#include "text/output.hpp"

namespace velmora::detail {

void Reporter::print(DiagnosticKind kind, std::string_view line) const {
  if (!sink_ || !*sink_) {
    printLine(line);
    return;
  }
  try {
    (*sink_)(Diagnostic{operation_, kind, line});
  } catch (...) {
    // The program's own sink failed; there is nowhere better to report that.
  }
}

}  // namespace velmora::detail
