#pragma once

#include <string>

#include "velmora/messages.hpp"

namespace velmora::test {

/// A `RecipientsMessage` with the three texts set (the type itself has only setters).
inline RecipientsMessage makeRecord(std::string id, std::string message, std::string mobile) {
  RecipientsMessage m;
  m.setId(std::move(id));
  m.setMessage(std::move(message));
  m.setMobile(std::move(mobile));
  return m;
}

}  // namespace velmora::test
