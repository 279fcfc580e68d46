#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "velmora/messages.hpp"

namespace velmora::detail {

/// The client's JSON encoder: compact arrays; strings escape quotation mark, reverse solidus and
/// control characters, write "/" as "\/", and keep every other byte as it is (UTF-8 passes
/// through unchanged; callers make sure their texts are valid UTF-8).
/// Stateless and immutable: one instance may be used by many threads at once.
class JsonEncoder {
 public:
  /// `["a","b"]`; `[]` for an empty list.
  std::string encode(const std::vector<std::string>& list) const;
  /// `[{"id":"…","message":"…","mobile":"…"},…]`; `[]` for an empty list.
  std::string encode(const std::vector<RecipientsMessage>& list) const;

  /// Appends what `encode(list)` returns to `out`, so that a request body is built in one string.
  void append(std::string& out, const std::vector<std::string>& list) const;
  /// Appends what `encode(list)` returns to `out`.
  void append(std::string& out, const std::vector<RecipientsMessage>& list) const;

  /// Appends `text` escaped as the inside of a JSON string, without quotation marks.
  void appendEscaped(std::string& out, std::string_view text) const;

  /// Bytes that `append` adds for `list` when no character needs escaping; a reservation hint.
  static std::size_t plainSize(const std::vector<std::string>& list) noexcept;
  /// Bytes that `append` adds for `list` when no character needs escaping; a reservation hint.
  static std::size_t plainSize(const std::vector<RecipientsMessage>& list) noexcept;
};

}  // namespace velmora::detail
