#pragma once

#include <string>

#include "velmora/client.hpp"

namespace velmora::detail {

/// Reaches the client's private transports from white-box tests.
struct ClientAccess {
  static void callAPI(const Velmora& client, const std::string& api, std::string body,
                      ResultCompletion completion) {
    client.callAPI(api, std::move(body), std::move(completion));
  }
  static std::string restUrl(const Velmora& client, const char* operation) {
    return client.restUrl(operation);
  }
};

}  // namespace velmora::detail
