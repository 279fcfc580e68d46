#pragma once

#include <functional>
#include <memory>
#include <string>

#include "transport/client_settings.hpp"
#include "velmora/result.hpp"

namespace velmora::detail {

/// The body of one JSON call, or why the call must send nothing.
struct JsonBody {
  std::string text;     ///< empty: the POST carries no body
  std::string refusal;  ///< e.g. "message is not valid UTF-8"; empty when the body may be sent
};

/// Posts `body` to "/api/smsAPI/<operation>" of the client's REST origin with `authorization`,
/// or, when the body could not be made or the settings forbid it, sends nothing and completes
/// with the refusal. `completion` runs once on the completion thread with the `Result` read
/// from the answer, or null. Keeps nothing of `settings` beyond the call.
void postJson(const ClientSettings& settings, const std::string& authorization,
              const char* operation, JsonBody body,
              std::function<void(std::shared_ptr<Result>)> completion);

}  // namespace velmora::detail
