#pragma once

#include <memory>
#include <optional>
#include <string>

// One URL as libcurl's parser sees it, so that what is checked before a request is what libcurl
// will fetch. Any thread.
namespace velmora::detail {

/// The parts of a URL that a check may ask about.
enum class UrlPart { Scheme, Host, User, Password, Options, Query, Fragment, Whole };

/// A URL parsed with any scheme, so that a wrong scheme is told apart from "not a URL".
class ParsedUrl {
 public:
  /// `text` must hold no NUL: the parser takes a C string.
  explicit ParsedUrl(const std::string& text);
  ~ParsedUrl();
  ParsedUrl(const ParsedUrl&) = delete;
  ParsedUrl& operator=(const ParsedUrl&) = delete;

  bool isValid() const { return valid_; }
  /// The part as libcurl gives it (the whole URL normalised, the scheme in lower case), or
  /// nothing when the URL has none.
  std::optional<std::string> part(UrlPart which) const;
  /// True when the URL has `which` and it is not empty.
  bool has(UrlPart which) const;

 private:
  struct Handle;
  std::unique_ptr<Handle> handle_;
  bool valid_ = false;
};

}  // namespace velmora::detail
