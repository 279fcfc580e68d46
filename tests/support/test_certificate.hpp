#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace velmora::test {

/// A PEM certificate and key written to files in a fresh temporary folder.
struct CertificateFiles {
  std::string certFile;
  std::string keyFile;
};

/// What the generated certificate claims.
struct CertificateSpec {
  std::vector<std::string> dnsNames{"localhost"};
  std::vector<std::string> ipAddresses{"127.0.0.1"};
  std::chrono::seconds notBefore{-3600};  ///< relative to now
  std::chrono::seconds notAfter{86400};   ///< relative to now
};

/// Generates a self-signed EC certificate and key (OpenSSL) and writes them as PEM files.
CertificateFiles makeSelfSignedCertificate(const CertificateSpec& spec = {});

}  // namespace velmora::test
