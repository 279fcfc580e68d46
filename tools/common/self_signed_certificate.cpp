#include "self_signed_certificate.hpp"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

namespace velmora::tools {
namespace {

template <class T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, std::integral_constant<decltype(Free), Free>>;

void check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error("certificate generation failed: " + what);
}

std::string freshFolder() {
  static std::atomic<int> counter{0};
  auto dir = std::filesystem::temp_directory_path() /
             ("velmora-cert-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
  std::filesystem::create_directories(dir);
  return dir.string();
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

void writePem(const std::string& path, const std::function<int(FILE*)>& write) {
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "w"));
  check(file != nullptr, "opening " + path);
  // The key must not be readable by others, not even for the moment before it is written.
  ::fchmod(::fileno(file.get()), S_IRUSR | S_IWUSR);
  check(write(file.get()) == 1, "writing " + path);
  check(std::fflush(file.get()) == 0, "writing " + path);
}

}  // namespace

CertificateFiles makeSelfSignedCertificate(const CertificateSpec& profile,
                                           const std::string& folder) {
  Owned<EVP_PKEY, EVP_PKEY_free> key(EVP_EC_gen("P-256"));
  check(key != nullptr, "key");
  Owned<X509, X509_free> cert(X509_new());
  X509_set_version(cert.get(), 2);
  // A random serial: certificates made on different runs must not share issuer and serial.
  std::uint64_t serial = 0;
  check(RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial) == 1, "serial");
  ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), (serial >> 1) | 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), static_cast<long>(profile.notBefore.count()));
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), static_cast<long>(profile.notAfter.count()));
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(profile.commonName.c_str()), -1,
                             -1, 0);
  X509_set_issuer_name(cert.get(), name);

  std::string san;
  for (const auto& dns : profile.dnsNames) san += (san.empty() ? "DNS:" : ",DNS:") + dns;
  for (const auto& ip : profile.ipAddresses) san += (san.empty() ? "IP:" : ",IP:") + ip;
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
  for (auto [nid, value] : {std::pair{NID_subject_alt_name, san},
                            std::pair{NID_basic_constraints, std::string("critical,CA:TRUE")}}) {
    if (value.empty()) continue;
    Owned<X509_EXTENSION, X509_EXTENSION_free> ext(
        X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
    check(ext != nullptr && X509_add_ext(cert.get(), ext.get(), -1) == 1, "extension");
  }
  check(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "signing");

  std::string dir = folder;
  if (dir.empty()) {
    dir = freshFolder();
  } else {
    std::filesystem::create_directories(dir);
  }
  CertificateFiles files{dir + "/cert.pem", dir + "/key.pem"};
  writePem(files.certFile, [&](FILE* f) { return PEM_write_X509(f, cert.get()); });
  writePem(files.keyFile, [&](FILE* f) {
    return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
  return files;
}

}  // namespace velmora::tools
