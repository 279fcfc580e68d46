#include <gtest/gtest.h>

#include <cstring>
#include <unordered_map>

#include "text/base64.hpp"
#include "transport/client_settings.hpp"
#include "velmora/velmora.hpp"

namespace velmora {
namespace {

TEST(AuthHeader, EncodesUserColonPasswordAsBase64) {
  EXPECT_EQ(Velmora("user", "pass").getAuthHeader(), "Basic dXNlcjpwYXNz");
  // Empty credentials still give a header: the base64 of the lone colon.
  EXPECT_EQ(Velmora("", "").getAuthHeader(), "Basic Og==");
  // A colon in the user name is joined unchanged.
  EXPECT_EQ(Velmora("a:b", "c").getAuthHeader(), "Basic YTpiOmM=");
  // Non-ASCII letters travel as their UTF-8 bytes: "é" is C3 A9.
  EXPECT_EQ(Velmora("\xC3\xA9", "x").getAuthHeader(), "Basic w6k6eA==");
}

TEST(AuthHeader, IsStableAndNeverWrapped) {
  const std::string longPassword(200, 'p');
  Velmora a("someone", longPassword);
  Velmora b("someone", longPassword, Options{});
  const std::string header = a.getAuthHeader();
  EXPECT_EQ(header, a.getAuthHeader());
  EXPECT_EQ(header, b.getAuthHeader());
  EXPECT_GT(header.size(), 76u + 6u);
  EXPECT_EQ(header.find_first_of("\r\n"), std::string::npos);
}

TEST(Base64, PadsEveryRemainder) {
  EXPECT_EQ(detail::base64Encode(""), "");
  EXPECT_EQ(detail::base64Encode("f"), "Zg==");
  EXPECT_EQ(detail::base64Encode("fo"), "Zm8=");
  EXPECT_EQ(detail::base64Encode("foo"), "Zm9v");
  EXPECT_EQ(detail::base64Encode("foob"), "Zm9vYg==");
  EXPECT_EQ(detail::base64Encode(std::string("\xff\xfe\x00", 3)), "//4A");
}

TEST(Version, SymbolsHoldTheReleaseIdentity) {
  const char* text = reinterpret_cast<const char*>(VelmoraVersionString);
  EXPECT_STREQ(text, "@(#)PROGRAM:Velmora  PROJECT:Velmora-3\n");
  EXPECT_EQ(text[std::strlen(text) - 1], '\n');
  EXPECT_EQ(VelmoraVersionNumber, 3.0);
}

TEST(DefaultOptions, HoldTheBuiltInEndpoints) {
  const Options o;
  EXPECT_EQ(o.restBaseUrl.rfind("https://", 0), 0u);
  EXPECT_EQ(o.soapUrl.substr(o.soapUrl.size() - 14), "/fastsend.asmx");
  EXPECT_EQ(o.soapNamespace.back(), '/');
  EXPECT_TRUE(o.caFile.empty());
  EXPECT_EQ(o.timeout, std::chrono::seconds(60));
  // The built-in values pass the checks that every client makes of its options.
  const detail::ClientSettings checked(o);
  EXPECT_EQ(checked.restRefusal.text, "");
  EXPECT_EQ(checked.soapRefusal.text, "");
}

TEST(ResultRecord, NewRecordHoldsDefaultsAndEmptyStringPayload) {
  Result r;
  EXPECT_EQ(r.Code(), ResultCode::Success);
  EXPECT_EQ(r.Message(), "");
  ASSERT_TRUE(r.Payload().is_string());  // the empty text, not null
  EXPECT_EQ(r.Payload().get<std::string>(), "");
}

TEST(ResultCodeLookup, MatchesExactlyTheKnownRawValues) {
  for (auto [raw, code] : {std::pair{0, ResultCode::Success},
                           {1001, ResultCode::DocError},
                           {2009, ResultCode::UserInfoError},
                           {3004, ResultCode::ServiceError},
                           {5004, ResultCode::ParamSendError}}) {
    EXPECT_EQ(resultCodeFromRaw(raw), code) << raw;
  }
  for (std::int64_t raw : {1, 1000, 1005, 2000, 2010, 3000, 3005, 4000, 4999, 5000, 5005, -1}) {
    EXPECT_FALSE(resultCodeFromRaw(raw).has_value()) << raw;
  }
  int known = 0;
  for (std::int64_t raw = -10; raw < 6000; ++raw) {
    if (auto code = resultCodeFromRaw(raw)) {
      ++known;
      EXPECT_EQ(rawValue(*code), raw);
      EXPECT_STRNE(name(*code), "Unknown");
    } else {
      EXPECT_STREQ(name(static_cast<ResultCode>(raw)), "Unknown") << raw;
    }
  }
  EXPECT_STREQ(name(ResultCode::ParamSendError), "ParamSendError");
  EXPECT_EQ(known, 22);
  EXPECT_EQ(rawValue(ResultCode::PortError), 2007);
}

TEST(StatusCodeLookup, MatchesExactlyTheKnownRawValues) {
  EXPECT_EQ(statusCodeFromRaw(0), StatusCode::Unknown);
  EXPECT_EQ(statusCodeFromRaw(8), StatusCode::InTelecommunication);
  EXPECT_EQ(statusCodeFromRaw(16), StatusCode::NotInTelecommunication);
  EXPECT_EQ(statusCodeFromRaw(23), StatusCode::ServerFull);
  EXPECT_EQ(statusCodeFromRaw(27), StatusCode::NumberError);
  for (std::int64_t raw : {4, 7, 9, 15, 17, 22, 24, 26, 28, -1}) {
    EXPECT_FALSE(statusCodeFromRaw(raw).has_value()) << raw;
  }
  int known = 0;
  for (std::int64_t raw = -5; raw < 100; ++raw) {
    if (auto code = statusCodeFromRaw(raw)) {
      ++known;
      EXPECT_EQ(rawValue(*code), raw);
    }
  }
  EXPECT_EQ(known, 8);
  EXPECT_STREQ(name(StatusCode::Sended), "Sended");
}

TEST(CodeEnums, ServeAsHashKeys) {
  std::unordered_map<ResultCode, int> counts{{ResultCode::NumberError, 1}};
  std::unordered_map<StatusCode, int> states{{StatusCode::NumberError, 2}};
  EXPECT_EQ(counts.at(*resultCodeFromRaw(1002)), 1);
  EXPECT_EQ(states.at(*statusCodeFromRaw(27)), 2);
  EXPECT_EQ(counts.count(ResultCode::Success), 0u);
}

}  // namespace
}  // namespace velmora
