#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace velmora::tools {

/// Where a PEM certificate and its private key were written.
struct CertificateFiles {
  std::string certFile;
  std::string keyFile;
};

/// What a generated certificate claims.
struct CertificateSpec {
  std::vector<std::string> dnsNames{"localhost"};
  std::vector<std::string> ipAddresses{"127.0.0.1"};
  std::chrono::seconds notBefore{-3600};  ///< relative to now
  std::chrono::seconds notAfter{86400};   ///< relative to now
  std::string commonName = "velmora test";
};

/// Generates a self-signed EC (P-256) certificate, marked as a CA so that clients can trust it
/// directly, and its key, and writes both as PEM files ("cert.pem", "key.pem") into `folder`,
/// which is created when missing; an empty `folder` means a fresh temporary folder. The key file
/// is readable by its owner only. Throws std::runtime_error when OpenSSL or the files fail.
CertificateFiles makeSelfSignedCertificate(const CertificateSpec& profile = {},
                                           const std::string& folder = {});

}  // namespace velmora::tools
