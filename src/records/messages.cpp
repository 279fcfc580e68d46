#include "velmora/messages.hpp"

#include <nlohmann/json.hpp>

namespace velmora {

using nlohmann::json;

namespace {

// nlohmann's factory took the context by reference before 3.11 and by pointer since.
json::type_error typeError(const std::string& what, const json& context) {
#if NLOHMANN_JSON_VERSION_MAJOR > 3 || \
    (NLOHMANN_JSON_VERSION_MAJOR == 3 && NLOHMANN_JSON_VERSION_MINOR >= 11)
  return json::type_error::create(302, what, &context);
#else
  return json::type_error::create(302, what, context);
#endif
}

// Reads the required string member `key`. The three failures stay apart so that a caller can
// tell a misspelt member from a null one and from one of the wrong kind.
std::string requiredString(const json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end()) {
    // at() raises the library's usual out_of_range 403 "key 'id' not found".
    return object.at(key).get<std::string>();
  }
  if (found->is_null()) {
    throw typeError(std::string("value not found: member '") + key + "' is null", object);
  }
  if (!found->is_string()) {
    throw typeError(std::string("type mismatch: member '") + key + "' must be string, but is " +
                        found->type_name(),
                    object);
  }
  return found->get<std::string>();
}

}  // namespace

void to_json(nlohmann::json& j, const RecipientsMessage& m) {
  j = nlohmann::json::object();
  j["id"] = m.Id();
  j["message"] = m.Message();
  j["mobile"] = m.Mobile();
}

void from_json(const nlohmann::json& j, RecipientsMessage& m) {
  if (!j.is_object()) {
    throw typeError(
        std::string("type mismatch: RecipientsMessage must be object, but is ") + j.type_name(), j);
  }
  // Read all three before touching `m`, so that a failure leaves the record as it was.
  std::string id = requiredString(j, "id");
  std::string message = requiredString(j, "message");
  std::string mobile = requiredString(j, "mobile");
  m.setId(std::move(id));
  m.setMessage(std::move(message));
  m.setMobile(std::move(mobile));
}

std::string ReceivedMsgs::toString() const {
  // Quoted and escaped, so that a line break in a text cannot split the line; bytes that are not
  // UTF-8 print as U+FFFD rather than throwing.
  const auto quoted = [](const std::string& text) {
    return json(text).dump(-1, ' ', false, json::error_handler_t::replace);
  };
  return "ReceivedMsgs(MsgBody: " + quoted(msgBody) + ", Mobile: " + quoted(mobile) +
         ", Dates: " + std::to_string(date) + ")";
}

}  // namespace velmora
