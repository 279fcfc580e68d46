#include "owned_files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace velmora::tools {
namespace {

constexpr int kMostLinks = 8;

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Where the link at `path` points, relative links taken from the link's folder.
std::string linkTarget(const std::string& path) {
  std::string target(4096, '\0');
  const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
  if (length < 0 || static_cast<std::size_t>(length) >= target.size()) {
    throw std::runtime_error("cannot read the link " + path + ": " + std::strerror(errno));
  }
  target.resize(static_cast<std::size_t>(length));
  const auto slash = path.rfind('/');
  if (target.front() == '/' || slash == std::string::npos) return target;
  return path.substr(0, slash + 1) + target;
}

}  // namespace

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

FileDescriptor openFollowingOwnLinks(const std::string& path, int flags) {
  std::string at = path;
  for (int hop = 0; hop <= kMostLinks; ++hop) {
    const int fd = ::open(at.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) return FileDescriptor(fd);
    const int error = errno;
    struct stat link {};
    if (::lstat(at.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
      errno = error;
      return FileDescriptor();
    }
    if (link.st_uid != ::geteuid()) {
      throw std::runtime_error(at + " is a symbolic link of another user (uid " +
                               std::to_string(link.st_uid) + "); it is not followed");
    }
    at = linkTarget(at);
  }
  throw std::runtime_error(path + " goes through more than " + std::to_string(kMostLinks) +
                           " symbolic links");
}

std::string othersMayChange(int fd, const std::string& path, bool stickyFolderPasses) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return "cannot examine " + path + ": " + std::strerror(errno);
  if (info.st_uid != ::geteuid()) {
    return path + " belongs to another user (uid " + std::to_string(info.st_uid) +
           "); make it yours (chown " + std::to_string(::geteuid()) + " " + path + ")";
  }
  const bool othersWrite = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  const bool sticky = S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0;
  if (othersWrite && !(stickyFolderPasses && sticky)) {
    return "others may write to " + path + " (mode " + octal(info.st_mode) +
           "); take their write permission away (chmod go-w " + path + ")";
  }
  return {};
}

std::string readAll(int fd, const std::string& path) {
  std::string content;
  char buffer[65536];
  while (true) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got == 0) return content;
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    content.append(buffer, static_cast<std::size_t>(got));
  }
}

}  // namespace velmora::tools
