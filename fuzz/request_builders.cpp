// The request builders: the JSON bodies of the REST operations and the SOAP envelopes.
// Properties, whatever the texts: every body is a JSON object whose members read back equal to
// the values it was built from; every envelope is well-formed XML whose elements read back equal
// to the values. Texts that the operations refuse to send (not UTF-8, or not carriable by XML)
// are left out, as the operations leave them out.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <expat.h>
#include <nlohmann/json.hpp>

#include "rest/json_encoder.hpp"
#include "rest/request_bodies.hpp"
#include "soap/envelope.hpp"
#include "text/utf8.hpp"

namespace {

using nlohmann::json;
using velmora::RecipientsMessage;
namespace detail = velmora::detail;

void require(bool condition) {
  if (!condition) std::abort();
}

json parseBody(const std::string& body) {
  json parsed = json::parse(body, nullptr, false);
  require(parsed.is_object());
  return parsed;
}

json recordsJson(const std::vector<RecipientsMessage>& records) {
  json list = json::array();
  for (const auto& r : records) list.push_back(r);
  return list;
}

void checkBodies(FuzzedDataProvider& in) {
  std::vector<std::string> texts;
  for (int i = 0; i < 3; ++i) texts.push_back(in.ConsumeRandomLengthString(64));
  std::vector<std::string> list(in.ConsumeIntegralInRange<std::size_t>(0, 4));
  for (auto& item : list) item = in.ConsumeRandomLengthString(32);
  std::vector<RecipientsMessage> records(in.ConsumeIntegralInRange<std::size_t>(0, 3));
  for (auto& r : records) {
    r.setId(in.ConsumeRandomLengthString(16));
    r.setMessage(in.ConsumeRandomLengthString(64));
    r.setMobile(in.ConsumeRandomLengthString(16));
  }
  const auto a = in.ConsumeIntegral<std::int64_t>();
  const auto b = in.ConsumeIntegral<std::int64_t>();
  const auto c = in.ConsumeIntegral<std::int64_t>();

  bool utf8 = true;
  for (const auto& t : texts) utf8 = utf8 && detail::isValidUtf8(t);
  for (const auto& t : list) utf8 = utf8 && detail::isValidUtf8(t);
  for (const auto& r : records) {
    utf8 = utf8 && detail::isValidUtf8(r.Id()) && detail::isValidUtf8(r.Message()) &&
           detail::isValidUtf8(r.Mobile());
  }
  if (!utf8) return;

  const detail::JsonEncoder encoder;
  const std::string& phone = texts[0];
  const std::string& message = texts[1];
  const std::string& group = texts[2];

  json j = parseBody(detail::sendMessageBody(encoder, phone, message, list, group, a));
  require(j == json{{"PhoneNumber", phone},
                    {"Message", message},
                    {"Mobiles", list},
                    {"UserGroupID", group},
                    {"SendDateInTimeStamp", a}});
  j = parseBody(detail::sendCorrespondingMessageBody(encoder, phone, records, group));
  require(j == json{{"PhoneNumber", phone},
                    {"RecipientsMessage", recordsJson(records)},
                    {"UserGroupID", group}});
  j = parseBody(detail::sendMessageToPortBody(encoder, phone, a, b, group, records));
  require(j == json{{"PhoneNumber", phone},
                    {"recievePortNumber", a},
                    {"sendPortNumber", b},
                    {"RecipientsMessage", recordsJson(records)},
                    {"UserGroupID", group}});
  require(parseBody(detail::groupMessageStatusBody(encoder, message)) ==
          json{{"GroupMessageId", message}});
  require(parseBody(detail::correspondingMessageStatusBody(encoder, list)) ==
          json{{"messageId", list}});
  require(parseBody(detail::getGroupMessageIdBody(encoder, group)) == json{{"groupId", group}});
  require(parseBody(detail::receiveMessagesBody(encoder, phone, a, b, c)) ==
          json{{"PhoneNumber", phone}, {"StartDate", a}, {"EndDate", b}, {"Page", c}});
  require(parseBody(detail::showWhiteListBody(encoder, list)) == json{{"MobilesList", list}});
}

// The text of every element without child elements, by name, as an XML reader sees it.
struct Reading {
  std::map<std::string, std::string> leaves;
  std::string current;
  std::string text;
  std::string root;
};

void checkEnvelope(FuzzedDataProvider& in) {
  const std::string values[4] = {in.ConsumeRandomLengthString(32), in.ConsumeRandomLengthString(32),
                                 in.ConsumeRandomLengthString(32),
                                 in.ConsumeRandomLengthString(64)};
  for (const auto& v : values) {
    if (!detail::isXmlCarriable(v)) return;
  }
  const char* const operations[] = {"AutoSendCode", "CheckSendCode", "SendMessageWithCode"};
  const std::string operation = operations[in.ConsumeIntegralInRange(0, 2)];
  const std::string lastTag = operation == "AutoSendCode" ? "Footer" : "Code";
  const std::string envelope = detail::buildEnvelope(
      {"http://velmora.test/", operation, values[0], values[1], values[2], lastTag, values[3]});

  Reading reading;
  XML_Parser parser = XML_ParserCreate(nullptr);
  XML_SetUserData(parser, &reading);
  XML_SetElementHandler(
      parser,
      [](void* user, const XML_Char* name, const XML_Char**) {
        auto* r = static_cast<Reading*>(user);
        if (r->root.empty()) r->root = name;
        r->current = name;
        r->text.clear();
      },
      [](void* user, const XML_Char* name) {
        auto* r = static_cast<Reading*>(user);
        if (r->current == name) r->leaves[name] = r->text;
        r->current.clear();
      });
  XML_SetCharacterDataHandler(parser, [](void* user, const XML_Char* s, int length) {
    static_cast<Reading*>(user)->text.append(s, static_cast<std::size_t>(length));
  });
  const bool wellFormed = XML_Parse(parser, envelope.data(), static_cast<int>(envelope.size()),
                                    XML_TRUE) == XML_STATUS_OK;
  XML_ParserFree(parser);
  require(wellFormed);
  require(reading.root == "soap12:Envelope");
  require(reading.leaves["Username"] == values[0]);
  require(reading.leaves["Password"] == values[1]);
  require(reading.leaves["ReciptionNumber"] == values[2]);
  require(reading.leaves[lastTag] == values[3]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider bodies(data, size);
  checkBodies(bodies);
  FuzzedDataProvider envelope(data, size);
  checkEnvelope(envelope);
  return 0;
}
