#include "soap/xml_collector.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace velmora::detail {
namespace {

struct Parsed {
  ParseOutcome outcome;
  ParserDelegate delegate;
};

Parsed parse(std::string body) {
  Parsed p;
  p.outcome = XmlAnswer(std::move(body)).parse(p.delegate);
  return p;
}

// A file whose content must never show up in what a parse collects.
class LocalFile {
 public:
  explicit LocalFile(const std::string& content) {
    path_ = ::testing::TempDir() + "velmora_xml_secret_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::ofstream(path_) << content;
  }
  ~LocalFile() { std::remove(path_.c_str()); }
  std::string url() const { return "file://" + path_; }

 private:
  std::string path_;
};

TEST(XmlCollector, JoinsAllCharacterDataInDocumentOrder) {
  Parsed tight = parse("<a><b>1</b><c>2</c></a>");
  ASSERT_TRUE(tight.outcome.wellFormed) << tight.outcome.error;
  EXPECT_EQ(tight.delegate.result, "12");

  // Indentation between elements is character data too, kept where it stood.
  Parsed indented = parse("<?xml version=\"1.0\"?>\n<a>\n  <b>4213</b>\n</a>\n");
  ASSERT_TRUE(indented.outcome.wellFormed) << indented.outcome.error;
  EXPECT_EQ(indented.delegate.result, "\n  4213\n");

  // References split the text into several chunks; they are joined without separators.
  Parsed chunks = parse("<r>a &amp; b&lt;c&#x41;&#66;</r>");
  ASSERT_TRUE(chunks.outcome.wellFormed) << chunks.outcome.error;
  EXPECT_EQ(chunks.delegate.result, "a & b<cAB");

  // Attribute values, comments and processing instructions are not character data.
  Parsed markup = parse("<r a='x'><!-- 9 --><?pi 8?>7</r>");
  EXPECT_EQ(markup.delegate.result, "7");
}

TEST(XmlCollector, LeavesCdataSectionsOut) {
  EXPECT_EQ(parse("<r>1<![CDATA[<99>]]>2</r>").delegate.result, "12");
  Parsed onlyCdata = parse("<r><![CDATA[42]]></r>");
  EXPECT_TRUE(onlyCdata.outcome.wellFormed);
  EXPECT_FALSE(onlyCdata.delegate.result.has_value());
}

TEST(XmlCollector, RecordsInternalGeneralEntitiesOnly) {
  LocalFile dtd("<!ENTITY leaked 'x'>");
  Parsed p = parse(
      "<!DOCTYPE r [\n"
      "  <!ENTITY greeting 'hello &amp; bye'>\n"
      "  <!ENTITY empty ''>\n"
      "  <!ENTITY % param 'p'>\n"
      "  <!ENTITY outside SYSTEM '" +
      dtd.url() +
      "'>\n"
      "]>\n<r/>");
  ASSERT_TRUE(p.outcome.wellFormed) << p.outcome.error;
  const std::map<std::string, std::optional<std::string>> expected{
      {"empty", std::string()}, {"greeting", std::string("hello &amp; bye")}};
  EXPECT_EQ(p.delegate.entities, expected);

  // Expanded in content, an internal entity is ordinary character data.
  EXPECT_EQ(parse("<!DOCTYPE r [<!ENTITY n '42'>]><r>&n;!</r>").delegate.result, "42!");
}

TEST(XmlCollector, ReportsMalformedAnswersWithPosition) {
  Parsed empty = parse("");
  EXPECT_FALSE(empty.outcome.wellFormed);
  EXPECT_NE(empty.outcome.error.find("line 1"), std::string::npos) << empty.outcome.error;

  // The text before the error is still collected; whether to trust it is the caller's choice.
  Parsed truncated = parse("<r>4213");
  EXPECT_FALSE(truncated.outcome.wellFormed);
  EXPECT_EQ(truncated.delegate.result, "4213");

  Parsed mismatched = parse("<r>\n  <a>1</b>\n</r>");
  EXPECT_FALSE(mismatched.outcome.wellFormed);
  EXPECT_EQ(mismatched.outcome.error, "mismatched tag at line 2, column 9");

  EXPECT_FALSE(parse("<r>1</r><r>2</r>").outcome.wellFormed);
  EXPECT_FALSE(parse("<r>\xff</r>").outcome.wellFormed);
}

TEST(XmlCollector, BillionLaughsStopsEarlyWithBoundedText) {
  std::string body = "<!DOCTYPE r [\n<!ENTITY l0 'lollollollollollollollollollol'>\n";
  for (int i = 1; i <= 10; ++i) {
    body += "<!ENTITY l" + std::to_string(i) + " '";
    for (int k = 0; k < 10; ++k) body += "&l" + std::to_string(i - 1) + ";";
    body += "'>\n";
  }
  body += "]>\n<r>&l10;</r>";
  Parsed p = parse(body);
  EXPECT_FALSE(p.outcome.wellFormed);
  EXPECT_NE(p.outcome.error.find("amplification"), std::string::npos) << p.outcome.error;
  // Fully expanded this would be 30 GB of text; the limit stops it after a few megabytes.
  EXPECT_LT(p.delegate.result.value_or("").size(), 32u * 1024u * 1024u);
}

TEST(XmlCollector, NeverReadsExternalEntitiesOrDtds) {
  LocalFile secret("4213");
  LocalFile dtd("<!ENTITY x '4213'>");
  const std::string bodies[] = {
      // An external general entity referenced in content.
      "<!DOCTYPE r [<!ENTITY x SYSTEM '" + secret.url() + "'>]><r>&x;</r>",
      // An external DTD subset that would declare the entity.
      "<!DOCTYPE r SYSTEM '" + dtd.url() + "'><r>&x;</r>",
      // An external parameter entity pulled into the internal subset.
      "<!DOCTYPE r [<!ENTITY % p SYSTEM '" + dtd.url() + "'> %p;]><r>&x;</r>",
  };
  for (const std::string& body : bodies) {
    Parsed p = parse(body);
    EXPECT_FALSE(p.delegate.result.value_or("").find("4213") != std::string::npos) << body;
    EXPECT_TRUE(p.delegate.entities.empty()) << body;
  }
}

}  // namespace
}  // namespace velmora::detail
