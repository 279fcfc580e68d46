#include "self_signed_certificate.hpp"

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>

#include "owned_files.hpp"

namespace velmora::tools {
namespace {

template <class T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, std::integral_constant<decltype(Free), Free>>;

void check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error("certificate generation failed: " + what);
}

std::string freshFolder() {
  char name[] = "/tmp/velmora-cert-XXXXXX";
  check(::mkdtemp(name) != nullptr, std::string("making a folder: ") + std::strerror(errno));
  return name;
}

// The PEM text that `write` puts into a memory buffer.
std::string pem(const std::function<int(BIO*)>& write) {
  Owned<BIO, BIO_free_all> bio(BIO_new(BIO_s_mem()));
  check(bio != nullptr && write(bio.get()) == 1, "encoding");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

struct Pems {
  std::string certificate;
  std::string key;
};

Pems makePems(const CertificateSpec& profile) {
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

  return {pem([&](BIO* b) { return PEM_write_bio_X509(b, cert.get()); }), pem([&](BIO* b) {
            return PEM_write_bio_PrivateKey(b, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
          })};
}

[[noreturn]] void fail(const std::string& sentence) {
  throw std::runtime_error(sentence);
}

// Writes `content` as `name` in the open folder `dir`, readable by this user only: into a new
// file (O_EXCL, never through a link), then renamed over the name, so that whatever is planted
// under the name is replaced, never written through.
void writeNew(int dir, const std::string& path, const std::string& name,
              const std::string& content) {
  static std::atomic<int> counter{0};
  const std::string temporary =
      "." + name + "." + std::to_string(::getpid()) + "." + std::to_string(counter++);
  FileDescriptor file(
      ::openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.valid()) fail("cannot create a file next to " + path + ": " + std::strerror(errno));
  const auto size = static_cast<ssize_t>(content.size());
  if (::write(file.get(), content.data(), content.size()) != size ||
      ::renameat(dir, temporary.c_str(), dir, name.c_str()) != 0) {
    const int error = errno;
    ::unlinkat(dir, temporary.c_str(), 0);
    fail("cannot write " + path + ": " + std::strerror(error));
  }
}

CertificateFiles writePems(int dir, const std::string& folder, const Pems& pems) {
  CertificateFiles files{folder + "/cert.pem", folder + "/key.pem"};
  writeNew(dir, files.keyFile, "key.pem", pems.key);
  writeNew(dir, files.certFile, "cert.pem", pems.certificate);
  return files;
}

// The state folder, made (0700) when missing; refused when another user may change what is in
// it, as they could then choose the certificate, or where the key is written.
FileDescriptor openStateFolder(const std::string& folder) {
  std::error_code ignored;
  const std::filesystem::path parent = std::filesystem::path(folder).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ignored);
  ::mkdir(folder.c_str(), 0700);
  FileDescriptor dir = openFollowingOwnLinks(folder, O_RDONLY | O_DIRECTORY);
  if (!dir.valid()) fail("cannot open the state folder " + folder + ": " + std::strerror(errno));
  if (const std::string why = othersMayChange(dir.get(), folder, true); !why.empty()) {
    fail("refusing the state folder: " + why);
  }
  return dir;
}

// True when `name` is in the open folder as a file of this user's that only they may change;
// false when it is not there. Throws for anything else under that name.
bool present(int dir, const std::string& path, const std::string& name) {
  // O_NONBLOCK: a planted FIFO must not hold the open.
  FileDescriptor file(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.valid() && errno == ENOENT) return false;
  if (!file.valid() && errno == ELOOP) {
    fail(path + " is a symbolic link, and links in the state folder are not followed; remove it");
  }
  if (!file.valid()) fail("cannot open " + path + ": " + std::strerror(errno));
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    fail(path + " is not a regular file; remove it");
  }
  if (const std::string why = othersMayChange(file.get(), path); !why.empty()) fail(why);
  return true;
}

}  // namespace

CertificateFiles makeSelfSignedCertificate(const CertificateSpec& profile) {
  const std::string folder = freshFolder();
  const FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  check(dir.valid(), "opening " + folder);
  return writePems(dir.get(), folder, makePems(profile));
}

CertificateFiles keptCertificate(const std::string& folder, const CertificateSpec& profile) {
  const FileDescriptor dir = openStateFolder(folder);
  const bool haveCertificate = present(dir.get(), folder + "/cert.pem", "cert.pem");
  const bool haveKey = present(dir.get(), folder + "/key.pem", "key.pem");
  if (haveCertificate && haveKey) return {folder + "/cert.pem", folder + "/key.pem"};
  return writePems(dir.get(), folder, makePems(profile));
}

}  // namespace velmora::tools
