// Decoding a RecipientsMessage from JSON, and encoding it back.
// Properties: decoding succeeds exactly when the value is an object whose "id", "message" and
// "mobile" are strings, and then takes them unchanged; a failed decoding throws only the JSON
// library's exceptions and leaves the record as it was; what the record and the client's encoder
// write decodes back to an equal record.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "rest/json_encoder.hpp"
#include "velmora/messages.hpp"

namespace {

using nlohmann::json;
using velmora::RecipientsMessage;

void require(bool condition) {
  if (!condition) std::abort();
}

bool stringMember(const json& j, const char* key) {
  const auto it = j.find(key);
  return it != j.end() && it->is_string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const json parsed = json::parse(data, data + size, nullptr, false);
  if (parsed.is_discarded()) return 0;
  // Whole answers hold lists of records: decode every element of an array too.
  const std::vector<json> values =
      parsed.is_array() ? parsed.get<std::vector<json>>() : std::vector<json>{parsed};
  for (const json& value : values) {
    const bool decodable = value.is_object() && stringMember(value, "id") &&
                           stringMember(value, "message") && stringMember(value, "mobile");
    RecipientsMessage record;
    record.setId("untouched");
    try {
      from_json(value, record);
    } catch (const json::exception&) {
      require(!decodable);
      require(record.Id() == "untouched" && record.Message().empty());
      continue;
    }
    require(decodable);
    require(record.Id() == value["id"] && record.Message() == value["message"] &&
            record.Mobile() == value["mobile"]);

    json written = record;
    require(written.get<RecipientsMessage>() == record);
    const json encoded = json::parse(velmora::detail::JsonEncoder().encode({record, record}));
    require(encoded.size() == 2 && encoded[1].get<RecipientsMessage>() == record);
  }
  return 0;
}
