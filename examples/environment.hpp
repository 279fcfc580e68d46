#pragma once

// Where the examples find the service: the built-in endpoints unless these variables say
// otherwise (scripts/demo and the sandbox's start line give their values):
//   VELMORA_REST_URL  HTTPS base URL of the JSON operations
//   VELMORA_SOAP_URL  URL of the SOAP endpoint
//   VELMORA_NAMESPACE service namespace URI of the SOAP operations
//   VELMORA_CACERT    PEM file of the certificate authorities to trust
// and the account, for the examples that do not take it as arguments:
//   VELMORA_USER, VELMORA_PASSWORD

#include <cstdlib>
#include <string>

#include <velmora/failure.hpp>
#include <velmora/options.hpp>

inline std::string fromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

inline velmora::Options optionsFromEnvironment() {
  velmora::Options options;
  const auto set = [](std::string& field, const char* name) {
    if (std::string value = fromEnvironment(name); !value.empty()) field = std::move(value);
  };
  set(options.restBaseUrl, "VELMORA_REST_URL");
  set(options.soapUrl, "VELMORA_SOAP_URL");
  set(options.soapNamespace, "VELMORA_NAMESPACE");
  set(options.caFile, "VELMORA_CACERT");
  return options;
}

// One line that says all the library knows of a failure: what went wrong, whether the request
// may have reached the service (a send then may have gone out), how many tries were made, and
// for a refusal the service's code.
inline std::string describe(const velmora::Failure& failure) {
  std::string line = std::string(velmora::name(failure.kind)) + ": " + failure.message;
  line += failure.requestMayHaveArrived ? " (may have arrived" : " (never left";
  line += ", " + std::to_string(failure.attempts) + " tries";
  if (failure.code) line += std::string(", ") + velmora::name(*failure.code);
  if (failure.rawCode) line += " " + std::to_string(*failure.rawCode);
  return line + ")";
}
