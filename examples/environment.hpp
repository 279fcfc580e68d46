#pragma once

// Where the examples find the service: the built-in endpoints unless these variables say
// otherwise (scripts/demo and the sandbox's start line give their values):
//   VELMORA_REST_URL  HTTPS base URL of the JSON operations
//   VELMORA_SOAP_URL  URL of the SOAP endpoint
//   VELMORA_NAMESPACE service namespace URI of the SOAP operations
//   VELMORA_CACERT    PEM file of the certificate authorities to trust

#include <cstdlib>
#include <string>

#include <velmora/options.hpp>

inline velmora::Options optionsFromEnvironment() {
  velmora::Options options;
  const auto set = [](std::string& field, const char* name) {
    if (const char* value = std::getenv(name); value != nullptr && *value != '\0') field = value;
  };
  set(options.restBaseUrl, "VELMORA_REST_URL");
  set(options.soapUrl, "VELMORA_SOAP_URL");
  set(options.soapNamespace, "VELMORA_NAMESPACE");
  set(options.caFile, "VELMORA_CACERT");
  return options;
}
