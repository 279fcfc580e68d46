// Stands in for libcurl's curl_version_info() in the test program: with
// VELMORA_FAKE_LIBCURL_VERSION set (hexadecimal, as 0xXXYYZZ) it reports that version number, so
// that a child process can show what the library does with a libcurl whose wording it does not
// know. Unset, libcurl's own answer passes through unchanged.

#include <curl/curl.h>
#include <dlfcn.h>

#include <cstdlib>

extern "C" curl_version_info_data* curl_version_info(CURLversion age) {
  using Real = curl_version_info_data* (*)(CURLversion);
  static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "curl_version_info"));
  curl_version_info_data* info = real(age);
  const char* fake = std::getenv("VELMORA_FAKE_LIBCURL_VERSION");
  if (fake == nullptr) return info;
  static curl_version_info_data reported;
  reported = *info;
  reported.version_num = static_cast<unsigned>(std::strtoul(fake, nullptr, 16));
  return &reported;
}
