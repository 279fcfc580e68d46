#include "velmora/failure.hpp"

namespace velmora {

const char* name(FailureKind kind) noexcept {
  switch (kind) {
    case FailureKind::RefusedInput:
      return "RefusedInput";
    case FailureKind::Connect:
      return "Connect";
    case FailureKind::Timeout:
      return "Timeout";
    case FailureKind::Deadline:
      return "Deadline";
    case FailureKind::Transport:
      return "Transport";
    case FailureKind::HttpStatus:
      return "HttpStatus";
    case FailureKind::MalformedAnswer:
      return "MalformedAnswer";
    case FailureKind::Shutdown:
      return "Shutdown";
    case FailureKind::ServiceRefused:
      return "ServiceRefused";
  }
  return "";
}

}  // namespace velmora
