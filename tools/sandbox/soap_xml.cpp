#include "soap_xml.hpp"

#include <expat.h>

#include <memory>

namespace velmora::sandbox {
namespace {

// Expat joins a namespace URI and a local name with this separator; a blank can be part of
// neither.
constexpr char kSeparator = ' ';

struct Name {
  std::string_view uri;
  std::string_view local;
};

Name splitName(const XML_Char* name) {
  const std::string_view whole(name);
  const auto at = whole.find(kSeparator);
  if (at == std::string_view::npos) return {{}, whole};
  return {whole.substr(0, at), whole.substr(at + 1)};
}

// Walks the envelope: Envelope > [Header] > Body > operation > fields.
struct Reader {
  XML_Parser parser = nullptr;
  int depth = 0;
  bool inHeader = false;
  bool sawBody = false;
  bool sawOperation = false;
  std::string field;  // local name of the field being read, when inside one
  SoapRequest request;
  std::string error;

  void fail(std::string why) {
    if (error.empty()) error = std::move(why);
    XML_StopParser(parser, XML_FALSE);
  }

  void start(const XML_Char* rawName) {
    const Name name = splitName(rawName);
    ++depth;
    if (inHeader) return;
    switch (depth) {
      case 1:
        if (name.uri != kSoap12Namespace || name.local != "Envelope") {
          fail("the root element is not a SOAP 1.2 Envelope");
        }
        return;
      case 2:
        if (name.uri == kSoap12Namespace && name.local == "Header" && !sawBody) {
          inHeader = true;
        } else if (name.uri == kSoap12Namespace && name.local == "Body" && !sawBody) {
          sawBody = true;
        } else {
          fail("the Envelope holds something other than one Header and one Body");
        }
        return;
      case 3:
        if (sawOperation) return fail("the Body holds more than one operation");
        sawOperation = true;
        request.operation = name.local;
        request.operationNamespace = name.uri;
        return;
      case 4:
        if (request.fields.count(std::string(name.local)) != 0) {
          return fail("the element " + std::string(name.local) + " appears twice");
        }
        field = name.local;
        request.fields[field];
        return;
      default:
        fail("the element " + field + " holds elements; it must hold text");
    }
  }

  void end() {
    if (depth == 2) inHeader = false;
    if (depth == 4) field.clear();
    --depth;
  }

  void text(const XML_Char* data, int length) {
    if (depth == 4 && !field.empty() && !inHeader) {
      request.fields[field].append(data, static_cast<std::size_t>(length));
    }
  }
};

struct ParserFree {
  void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

constexpr std::string_view kEnvelopeStart =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"><soap:Body>";
constexpr std::string_view kEnvelopeEnd = "</soap:Body></soap:Envelope>";

}  // namespace

std::variant<SoapRequest, std::string> parseSoapRequest(std::string_view body) {
  std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreateNS(nullptr, kSeparator));
  if (!parser) return std::string("out of memory");
  Reader reader;
  reader.parser = parser.get();
  XML_SetUserData(parser.get(), &reader);
  XML_SetElementHandler(
      parser.get(),
      [](void* user, const XML_Char* name, const XML_Char**) {
        static_cast<Reader*>(user)->start(name);
      },
      [](void* user, const XML_Char*) { static_cast<Reader*>(user)->end(); });
  XML_SetCharacterDataHandler(parser.get(), [](void* user, const XML_Char* data, int length) {
    static_cast<Reader*>(user)->text(data, length);
  });
  XML_SetStartDoctypeDeclHandler(
      parser.get(), [](void* user, const XML_Char*, const XML_Char*, const XML_Char*, int) {
        static_cast<Reader*>(user)->fail("a document type declaration is not accepted");
      });
  const bool ok = XML_Parse(parser.get(), body.data(), static_cast<int>(body.size()), XML_TRUE) ==
                  XML_STATUS_OK;
  if (!reader.error.empty()) return reader.error;
  if (!ok) {
    return std::string("not well-formed XML: ") + XML_ErrorString(XML_GetErrorCode(parser.get())) +
           " at line " + std::to_string(XML_GetCurrentLineNumber(parser.get()));
  }
  if (!reader.sawOperation) return std::string("the Body holds no operation");
  return reader.request;
}

std::string soapResponse(std::string_view serviceNamespace, std::string_view operation,
                         std::string_view value) {
  std::string out(kEnvelopeStart);
  out.append("<").append(operation).append("Response xmlns=\"");
  out.append(serviceNamespace).append("\"><").append(operation).append("Result>");
  out.append(value);
  out.append("</").append(operation).append("Result></").append(operation).append("Response>");
  out.append(kEnvelopeEnd);
  return out;
}

std::string soapFault(bool sender, std::string_view reason) {
  std::string out(kEnvelopeStart);
  out.append("<soap:Fault><soap:Code><soap:Value>");
  out.append(sender ? "soap:Sender" : "soap:Receiver");
  out.append("</soap:Value></soap:Code><soap:Reason><soap:Text xml:lang=\"en\">");
  out.append(reason);
  out.append("</soap:Text></soap:Reason></soap:Fault>");
  out.append(kEnvelopeEnd);
  return out;
}

}  // namespace velmora::sandbox
