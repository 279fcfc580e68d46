#pragma once

namespace bench {

/// The fixed answer of the load target to every JSON request (about 100 bytes).
extern const char* const kJsonAnswer;
/// The fixed answer of the load target to every CheckSendCode request.
extern const char* const kSoapAnswer;

}  // namespace bench
