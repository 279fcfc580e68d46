#pragma once

#include <sys/stat.h>

#include <string>

namespace velmora::tools {

/// A file descriptor, closed on destruction.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor();
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

/// Opens `path` with `flags` (as for open(2); O_NOFOLLOW and O_CLOEXEC are added), following a
/// symbolic link at its end only when this user owns the link, and at most 8 of them, so that
/// no other user can point the program at a file of their choice. Returns an invalid descriptor
/// with errno set when the file cannot be opened (ENOENT: it is not there); throws
/// std::runtime_error with a printable sentence for a link of another user, or too many links.
FileDescriptor openFollowingOwnLinks(const std::string& path, int flags);

/// Why no other user may be trusted not to have changed the file or folder open as `fd`, named
/// `path`, and what to change; empty when it is this user's and only this user may write it.
/// A sticky folder (like /tmp) that others may write passes when `stickyFolderPasses`, as
/// others cannot rename or remove the entries made in it.
std::string othersMayChange(int fd, const std::string& path, bool stickyFolderPasses = false);

/// The whole content of the open file `fd`. Throws std::runtime_error naming `path`.
std::string readAll(int fd, const std::string& path);

}  // namespace velmora::tools
