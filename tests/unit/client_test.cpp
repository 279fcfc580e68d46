#include <gtest/gtest.h>

#include "text/base64.hpp"
#include "velmora/velmora.hpp"

namespace velmora {
namespace {

TEST(AuthHeader, EncodesUserColonPasswordAsBase64OnOneLine) {
  EXPECT_EQ(Velmora("user", "pass").getAuthHeader(), "Basic dXNlcjpwYXNz");
  // Empty credentials still give a header: the base64 of the lone colon.
  EXPECT_EQ(Velmora("", "").getAuthHeader(), "Basic Og==");
  EXPECT_EQ(Velmora("a:b", "c").getAuthHeader(), "Basic YTpiOmM=");
  // Non-ASCII letters travel as their UTF-8 bytes: "é" is C3 A9.
  EXPECT_EQ(Velmora("\xC3\xA9", "x").getAuthHeader(), "Basic w6k6eA==");
  const std::string longHeader = Velmora("someone", std::string(200, 'p')).getAuthHeader();
  EXPECT_GT(longHeader.size(), 76u + 6u);
  EXPECT_EQ(longHeader.find_first_of("\r\n"), std::string::npos);
}

TEST(Base64, PadsEveryRemainder) {
  EXPECT_EQ(detail::base64Encode(""), "");
  EXPECT_EQ(detail::base64Encode("f"), "Zg==");
  EXPECT_EQ(detail::base64Encode("fo"), "Zm8=");
  EXPECT_EQ(detail::base64Encode("foo"), "Zm9v");
  EXPECT_EQ(detail::base64Encode("foob"), "Zm9vYg==");
  EXPECT_EQ(detail::base64Encode(std::string("\xff\xfe\x00", 3)), "//4A");
}

}  // namespace
}  // namespace velmora
