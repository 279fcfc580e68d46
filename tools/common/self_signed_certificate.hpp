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
/// directly, and its key, and writes both as PEM files ("cert.pem", "key.pem") into a fresh
/// temporary folder of this user's. The key file is readable by its owner only. Throws
/// std::runtime_error when OpenSSL or the files fail.
CertificateFiles makeSelfSignedCertificate(const CertificateSpec& profile = {});

/// The certificate and key kept in `folder` ("cert.pem", "key.pem"), as made by
/// makeSelfSignedCertificate() with `profile` when either is missing, and found afterwards. The
/// folder is made (0700) when missing. Refused, with std::runtime_error and one line saying why
/// and what to change: a folder of another user or that others may write (unless sticky and
/// this user's own), a symbolic link at its end owned by another user, and under either file
/// name a link, anything but a regular file, or a file of another user or that others may
/// write. New files are never written through a link or into a file that was there.
CertificateFiles keptCertificate(const std::string& folder, const CertificateSpec& profile);

}  // namespace velmora::tools
