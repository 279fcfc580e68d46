#include "velmora/client.hpp"

#include "base64.hpp"
#include "json_encoder.hpp"

namespace velmora {

Velmora::Velmora(std::string username, std::string password)
    : jsonEncoder(std::make_shared<const detail::JsonEncoder>()),
      username(std::move(username)),
      password(std::move(password)) {}

Velmora::Velmora(std::string username, std::string password, Options options)
    : Velmora(std::move(username), std::move(password)) {
  this->options = std::move(options);
  customEndpoints = true;
}

Velmora::~Velmora() = default;

std::string Velmora::getAuthHeader() const {
  std::string credentials;
  credentials.reserve(username.size() + 1 + password.size());
  credentials.append(username).append(":").append(password);
  return "Basic " + detail::base64Encode(credentials);
}

std::string Velmora::restUrl(const char* operation) const {
  return options.restBaseUrl + "/api/smsAPI/" + operation;
}

}  // namespace velmora
