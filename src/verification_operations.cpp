#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "output.hpp"
#include "soap_envelope.hpp"
#include "transport/session.hpp"
#include "transport/xml_collector.hpp"
#include "utf8.hpp"
#include "velmora/client.hpp"

namespace velmora {

namespace detail {

// One verification-code request: the operation and its two arguments, with the names under
// which a value that cannot be sent is reported.
struct VerificationRequest {
  const char* operation;
  const char* numberName;
  const std::string& number;
  const char* lastTag;
  const char* lastName;
  const std::string& lastValue;
};

}  // namespace detail

namespace {

// The name of the first value that XML cannot carry at all (invalid UTF-8, NUL and most control
// characters), or null when every value can be sent. Escaping cannot help such a value: no XML
// reader could take the envelope.
const char* uncarriable(const detail::VerificationRequest& request, const std::string& username,
                        const std::string& password) {
  if (!detail::isXmlCarriable(username)) return "username";
  if (!detail::isXmlCarriable(password)) return "password";
  if (!detail::isXmlCarriable(request.number)) return request.numberName;
  if (!detail::isXmlCarriable(request.lastValue)) return request.lastName;
  return nullptr;
}

enum class Collected { Broken, NoText, Text };

// Runs the parser over the answer and prints what the application may want to see: the parse
// error, the declared entities of an answer without text, or the text found.
Collected collect(const detail::XmlAnswer& answer, detail::ParserDelegate& delegate) {
  const detail::ParseOutcome outcome = answer.parse(delegate);
  if (!outcome.wellFormed) {
    // A truncated or malformed answer is no answer, whatever text came before the error.
    detail::printLine("answer is not well-formed XML: " + outcome.error);
    return Collected::Broken;
  }
  if (!delegate.result) {
    for (const auto& [name, value] : delegate.entities) {
      detail::printLine(name + ": " + (value ? *value : std::string("<nil>")));
    }
    return Collected::NoText;
  }
  detail::printLine("found text: " + *delegate.result);
  return Collected::Text;
}

// The answer routine of the operations that read a number. A null answer (failed exchange or
// nothing sent) completes with nothing and prints nothing more.
auto numberAnswer(NumberCompletion completion) {
  return [completion = std::move(completion)](std::unique_ptr<detail::XmlAnswer> answer) {
    std::optional<std::int64_t> value;
    detail::ParserDelegate delegate;
    if (answer && collect(*answer, delegate) == Collected::Text) {
      // The value is an xs:long, around which white space does not count.
      value = detail::readDecimal(detail::trimXmlSpace(*delegate.result));
    }
    if (completion) completion(value);
  };
}

// The answer routine of CheckSendCode. A well-formed answer without any text means "not valid".
auto truthAnswer(TruthCompletion completion) {
  return [completion = std::move(completion)](std::unique_ptr<detail::XmlAnswer> answer) {
    std::optional<bool> value;
    detail::ParserDelegate delegate;
    if (answer) {
      switch (collect(*answer, delegate)) {
        case Collected::Broken:
          break;
        case Collected::NoText:
          value = false;
          break;
        case Collected::Text:
          // The value is an xs:boolean, around which white space does not count.
          value = detail::readTruth(detail::trimXmlSpace(*delegate.result));
          break;
      }
    }
    if (completion) completion(value);
  };
}

}  // namespace

void Velmora::sendVerification(const detail::VerificationRequest& request,
                               XmlCompletion answer) const {
  if (const char* bad = uncarriable(request, username, password)) {
    // Nothing is sent; the call still completes later, on the session thread, like any other.
    detail::Session::shared().post([line = std::string(request.operation) + ": " + bad +
                                           " holds text that XML cannot carry; nothing was sent",
                                    answer = std::move(answer)] {
      detail::printLine(line);
      answer(nullptr);
    });
    return;
  }
  const std::string& serviceNamespace = options.soapNamespace;
  std::string envelope =
      detail::buildEnvelope({serviceNamespace, request.operation, username, password,
                             request.number, request.lastTag, request.lastValue});
  callSOAP(std::move(envelope), customEndpoints ? options.soapUrl : FastSendWSURL(),
           serviceNamespace + request.operation, std::move(answer));
}

void Velmora::AutoSendCode(const std::string& phoneNumber, const std::string& footer,
                           NumberCompletion completion) {
  sendVerification({"AutoSendCode", "phoneNumber", phoneNumber, "Footer", "footer", footer},
                   numberAnswer(std::move(completion)));
}

void Velmora::CheckSendCode(const std::string& reciptionNumber, const std::string& code,
                            TruthCompletion completion) {
  sendVerification({"CheckSendCode", "reciptionNumber", reciptionNumber, "Code", "code", code},
                   truthAnswer(std::move(completion)));
}

void Velmora::SendMessageWithCode(const std::string& reciptionNumber, const std::string& code,
                                  NumberCompletion completion) {
  sendVerification(
      {"SendMessageWithCode", "reciptionNumber", reciptionNumber, "Code", "code", code},
      numberAnswer(std::move(completion)));
}

}  // namespace velmora
