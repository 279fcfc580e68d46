#pragma once

#include <string>

#include "transport/json_call.hpp"
#include "velmora/client.hpp"

namespace velmora::detail {

/// Reaches the client's private transports from white-box tests.
struct ClientAccess {
  /// Posts `body` to "/api/smsAPI/<operation>" of the client's REST endpoint.
  static void callAPI(const Velmora& client, const char* operation, std::string body,
                      ResultCompletion completion) {
    client.callAPI(operation, JsonBody{std::move(body), {}}, std::move(completion));
  }
};

}  // namespace velmora::detail
