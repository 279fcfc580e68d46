#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "client_settings.hpp"
#include "soap_envelope.hpp"
#include "transport/call.hpp"
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

Failure malformed(std::string message) {
  return Failure{FailureKind::MalformedAnswer, {}, std::move(message), true};
}

// Runs the parser over the answer and prints what the application may want to see: the parse
// error, the declared entities of an answer without text, or the text found. Returns the
// failure of an answer that is not well-formed.
std::optional<Failure> collect(const detail::XmlAnswer& answer, detail::ParserDelegate& delegate,
                               const detail::Reporter& reporter) {
  const detail::ParseOutcome outcome = answer.parse(delegate);
  if (!outcome.wellFormed) {
    // A truncated or malformed answer is no answer, whatever text came before the error.
    Failure failure = malformed("answer is not well-formed XML: " + outcome.error);
    reporter.print(DiagnosticKind::Answer, failure.message);
    return failure;
  }
  if (!delegate.result) {
    for (const auto& [name, value] : delegate.entities) {
      reporter.print(DiagnosticKind::Answer, name + ": " + (value ? *value : std::string("<nil>")));
    }
    return std::nullopt;
  }
  reporter.print(DiagnosticKind::Answer, "found text: " + *delegate.result);
  return std::nullopt;
}

// Why a well-formed answer gave no value.
Failure unreadable(const detail::ParserDelegate& delegate) {
  return malformed(delegate.result ? "found text: " + *delegate.result
                                   : std::string("the answer holds no text"));
}

// The answer routine of the operations that read a number. A null answer (failed exchange or
// nothing sent) completes with nothing and prints nothing more.
auto numberAnswer(const detail::Reporter& reporter, NumberCompletion completion) {
  return [reporter, completion = std::move(completion)](std::unique_ptr<detail::XmlAnswer> answer,
                                                        std::optional<Failure> failure) {
    std::optional<std::int64_t> value;
    detail::ParserDelegate delegate;
    if (answer && !(failure = collect(*answer, delegate, reporter))) {
      // The value is an xs:long, around which white space does not count.
      if (delegate.result) value = detail::readDecimal(detail::trimXmlSpace(*delegate.result));
      if (!value) failure = unreadable(delegate);
    }
    detail::deliver(reporter, completion, value, failure);
  };
}

// The answer routine of CheckSendCode. A well-formed answer without any text means "not valid".
auto truthAnswer(const detail::Reporter& reporter, TruthCompletion completion) {
  return [reporter, completion = std::move(completion)](std::unique_ptr<detail::XmlAnswer> answer,
                                                        std::optional<Failure> failure) {
    std::optional<bool> value;
    detail::ParserDelegate delegate;
    if (answer && !(failure = collect(*answer, delegate, reporter))) {
      // The value is an xs:boolean, around which white space does not count.
      value = delegate.result ? detail::readTruth(detail::trimXmlSpace(*delegate.result)) : false;
      if (!value) failure = unreadable(delegate);
    }
    detail::deliver(reporter, completion, value, failure);
  };
}

}  // namespace

void Velmora::sendVerification(const detail::VerificationRequest& request,
                               const detail::Reporter& reporter, XmlCompletion answer) const {
  std::string refusal;
  if (settings->soapRefusal) {
    refusal = detail::refusalLine(reporter, settings->soapRefusal);
  } else if (const char* bad = uncarriable(request, username, password)) {
    refusal = std::string(request.operation) + ": " + bad +
              " holds text that XML cannot carry; nothing was sent";
  }
  const std::string& serviceNamespace = settings->options.soapNamespace;
  std::string envelope =
      refusal.empty()
          ? detail::buildEnvelope({serviceNamespace, request.operation, username, password,
                                   request.number, request.lastTag, request.lastValue})
          : std::string();
  callSOAP(reporter, std::move(refusal), std::move(envelope), settings->soapUrl,
           serviceNamespace + request.operation, std::move(answer));
}

void Velmora::AutoSendCode(const std::string& phoneNumber, const std::string& footer,
                           NumberCompletion completion) {
  const detail::Reporter reporter = settings->reporter("AutoSendCode");
  sendVerification({"AutoSendCode", "phoneNumber", phoneNumber, "Footer", "footer", footer},
                   reporter, numberAnswer(reporter, std::move(completion)));
}

void Velmora::CheckSendCode(const std::string& reciptionNumber, const std::string& code,
                            TruthCompletion completion) {
  const detail::Reporter reporter = settings->reporter("CheckSendCode");
  sendVerification({"CheckSendCode", "reciptionNumber", reciptionNumber, "Code", "code", code},
                   reporter, truthAnswer(reporter, std::move(completion)));
}

void Velmora::SendMessageWithCode(const std::string& reciptionNumber, const std::string& code,
                                  NumberCompletion completion) {
  const detail::Reporter reporter = settings->reporter("SendMessageWithCode");
  sendVerification(
      {"SendMessageWithCode", "reciptionNumber", reciptionNumber, "Code", "code", code}, reporter,
      numberAnswer(reporter, std::move(completion)));
}

}  // namespace velmora
