#pragma once

/// @file
/// What the typed sends and the inbox read take: named fields with defaults, so a call names
/// what it sets and leaves the rest alone:
///
///     client.send({"3000", "Your code is 4711", {"09120000001"}}, done);
///     velmora::SendRequest later{"3000", "Tomorrow", numbers};
///     later.group = "campaign-7";
///     later.at = std::chrono::system_clock::now() + std::chrono::hours(24);

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "velmora/messages.hpp"

namespace velmora {

/// One text to many numbers (`Velmora::send`). A plain value.
struct SendRequest {
  std::string from{};             ///< the account's line the text is sent from
  std::string text{};             ///< the text, UTF-8
  std::vector<std::string> to{};  ///< the recipients, 1 to 1,000 per call
  /// A label of the caller's for this send: `Velmora::groupMessageId` finds the latest send
  /// under it. Empty: none.
  std::string group{};
  /// When the service should send it, to the whole second (earlier parts are dropped). Unset:
  /// now.
  std::optional<std::chrono::system_clock::time_point> at{};
};

/// A text of its own to each number (`Velmora::sendEach`). A plain value.
struct SendEachRequest {
  std::string from{};                         ///< the account's line the texts are sent from
  std::vector<RecipientsMessage> messages{};  ///< one record per recipient: id, text, number
  std::string group{};                        ///< as `SendRequest::group`
};

/// A text of its own to each number, through ports (`Velmora::sendToPort`). A plain value.
struct SendToPortRequest {
  std::string from{};                         ///< the account's line the texts are sent from
  std::int64_t receivePort = 0;               ///< the port replies come back to
  std::int64_t sendPort = 0;                  ///< the port the texts leave from
  std::vector<RecipientsMessage> messages{};  ///< one record per recipient: id, text, number
  std::string group{};                        ///< as `SendRequest::group`
};

/// Which received messages to read (`Velmora::inbox`, `Velmora::wholeInbox`). A plain value.
struct InboxRequest {
  std::string line{};      ///< the account's line whose inbox to read
  std::int64_t from = 0;   ///< the earliest arrival, in Unix seconds
  std::int64_t until = 0;  ///< the latest arrival, same unit
  std::int64_t page = 1;   ///< the page to read (`wholeInbox`: the first page to read), from 1
};

}  // namespace velmora
