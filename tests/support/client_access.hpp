#pragma once

#include <string>

#include "rest/call.hpp"
#include "transport/client_settings.hpp"
#include "velmora/client.hpp"

namespace velmora::detail {

/// Reaches the JSON exchange from white-box tests with a body of their own.
struct ClientAccess {
  /// Posts `body` to "/api/smsAPI/<operation>" of the REST endpoint of `options`, with the
  /// credentials of `client`.
  static void callAPI(const Velmora& client, const Options& options, const char* operation,
                      std::string body, ResultCompletion completion) {
    postJson(ClientSettings(options), client.getAuthHeader(), operation,
             JsonBody{std::move(body), {}}, std::move(completion));
  }
};

}  // namespace velmora::detail
