#pragma once

#include <memory>
#include <utility>

#include "velmora/options.hpp"

namespace velmora::test {

/// Options that send every call to `transport`, at test endpoints, printing nothing.
inline Options through(std::shared_ptr<Transport> transport) {
  Options o;
  o.restBaseUrl = "https://rest.test";
  o.soapUrl = "http://soap.test/fastsend.asmx";
  o.soapNamespace = "http://velmora.test/";
  o.transport = std::move(transport);
  o.diagnostics = [](const Diagnostic&) {};
  return o;
}

}  // namespace velmora::test
