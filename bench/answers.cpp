#include "answers.hpp"

namespace bench {

// About a hundred bytes, the size of a typical answer to a send request.
const char* const kJsonAnswer =
    R"({"Code":0,"Message":"Sent","Result":{"GroupMessageId":"5f0c8e2a-19b4-4d7e-a3c1-7e2b","Count":1}})";

// A typical answer to CheckSendCode: the truth value as the only character data.
const char* const kSoapAnswer =
    R"(<?xml version="1.0" encoding="utf-8"?>)"
    R"(<soap12:Envelope xmlns:soap12="http://www.w3.org/2003/05/soap-envelope"><soap12:Body>)"
    R"(<CheckSendCodeResponse xmlns="http://velmora.example/">)"
    R"(<CheckSendCodeResult>true</CheckSendCodeResult></CheckSendCodeResponse>)"
    R"(</soap12:Body></soap12:Envelope>)";

}  // namespace bench
