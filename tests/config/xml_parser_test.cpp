// SPDX-License-Identifier: Apache-2.0
// The cursor of xmlparser_c over real files: selections, steps, attributes,
// copies, and failures that must be logged rather than thrown.

#include "config/xml_parser.hpp"

#include "common/recording_logger.hpp"
#include "config_fixture.hpp"

namespace talvenix {
namespace {

using testing::RecordingLogger;
using testing::TempFolder;

class XmlParserTest : public ::testing::Test {
 protected:
  void Load(const std::string& text) {
    path_ = folder_.Write("c.xml", text);
    ASSERT_EQ(parser_.loadconfiguration(path_.c_str()), 1);
  }
  bool LoggedStartingWith(const std::string& prefix) {
    for (const auto& line : log_.lines())
      if (line.text.rfind(prefix, 0) == 0) return true;
    return false;
  }

  TempFolder folder_;
  RecordingLogger log_;
  xmlparser_c parser_{&log_};
  std::string path_;
};

TEST_F(XmlParserTest, StepsThroughNodesAndTheirAttributesInDocumentOrder) {
  Load("<r><a x=\"1\" y=\"2\"/><a z=\"3\">t<b>u</b>v</a><c/></r>");
  EXPECT_FALSE(parser_.findinititem(XPath("/r/missing")));
  EXPECT_FALSE(parser_.findnextitem());

  ASSERT_TRUE(parser_.findinititem(XPath("/r/a")));
  char name[8];
  char16_t value[8];
  EXPECT_EQ(parser_.findnextattribute(name, sizeof name, value, 8), 0) << "the cursor stands before the first node";
  ASSERT_TRUE(parser_.findnextitem(name, sizeof name));
  EXPECT_STREQ(name, "a");
  ASSERT_EQ(parser_.findnextattribute(name, sizeof name, value, 8), 1);
  EXPECT_STREQ(name, "x");
  EXPECT_EQ(std::u16string(value), u"1");
  ASSERT_EQ(parser_.findnextattribute(name, sizeof name, value, 8), 1);
  EXPECT_STREQ(name, "y");
  EXPECT_EQ(parser_.findnextattribute(name, sizeof name, value, 8), 0);
  EXPECT_EQ(parser_.findnextattribute(name, sizeof name, value, 8), 0) << "stays at the end";

  ASSERT_TRUE(parser_.findnextitem());  // attributes start again on the next node
  ASSERT_EQ(parser_.findnextattribute(name, sizeof name, nullptr, 0), 1);
  EXPECT_STREQ(name, "z");
  std::u16string text;
  ASSERT_EQ(parser_.getcurrentitemtext(&text), 1);
  EXPECT_EQ(text, u"tuv") << "the node's text includes its descendants";
  EXPECT_FALSE(parser_.findnextitem());
  EXPECT_EQ(parser_.getcurrentitemtext(&text), 0);

  ASSERT_TRUE(parser_.findinititem(XPath("/r/c")));
  ASSERT_TRUE(parser_.findnextitem());
  EXPECT_EQ(parser_.findnextattribute(name, sizeof name, value, 8), 0) << "no attributes";
}

TEST_F(XmlParserTest, CopiesAreIndependentCursorsOverTheSameDocument) {
  Load("<r><a v=\"1\"/><a v=\"2\"/></r>");
  ASSERT_TRUE(parser_.findinititem(XPath("/r/a")));
  ASSERT_TRUE(parser_.findnextitem());
  xmlparser_c copy(parser_);
  ASSERT_TRUE(copy.findnextitem());  // the copy moves to the second node...
  ASSERT_EQ(copy.findnextattribute(nullptr, 0, nullptr, 0), 1);
  ASSERT_EQ(copy.setcurrentattributevalue(u"changed"), 1);

  char16_t value[16];
  ASSERT_EQ(parser_.findnextattribute(nullptr, 0, value, 16), 1);  // ...the source stays on the first
  EXPECT_EQ(std::u16string(value), u"1");
  ASSERT_TRUE(parser_.findnextitem());
  ASSERT_EQ(parser_.findnextattribute(nullptr, 0, value, 16), 1);
  EXPECT_EQ(std::u16string(value), u"changed") << "both see the same document";

  // A reload replaces the document; a selection made before it stays usable.
  ASSERT_TRUE(copy.findinititem(XPath("/r/a")));
  ASSERT_EQ(parser_.loadconfiguration(path_.c_str()), 1);
  ASSERT_TRUE(copy.findnextitem());
  ASSERT_EQ(copy.findnextattribute(nullptr, 0, value, 16), 1);
  EXPECT_EQ(std::u16string(value), u"1");
}

TEST_F(XmlParserTest, AReloadForReadingDropsChangesMadeInMemory) {
  Load("<r><a v=\"1\"/></r>");
  ASSERT_EQ(parser_.loadconfiguration(path_.c_str(), XmlLoadMode::kForReading), 1);
  ASSERT_TRUE(parser_.findinititem(XPath("/r/a")));
  ASSERT_TRUE(parser_.findnextitem());
  ASSERT_EQ(parser_.findnextattribute(nullptr, 0, nullptr, 0), 1);
  ASSERT_EQ(parser_.setcurrentattributevalue(u"changed"), 1);

  ASSERT_EQ(parser_.loadconfiguration(path_.c_str(), XmlLoadMode::kForReading), 1);
  char16_t value[16];
  ASSERT_TRUE(parser_.findinititem(XPath("/r/a")));
  ASSERT_TRUE(parser_.findnextitem());
  ASSERT_EQ(parser_.findnextattribute(nullptr, 0, value, 16), 1);
  EXPECT_EQ(std::u16string(value), u"1") << "the file was not changed";
}

TEST_F(XmlParserTest, BoundNamesCannotChangeTheExpression) {
  Load("<r><a n=\"x&quot;] | //*[&quot;\" v=\"hit\"/><a n=\"o'k\" v=\"quote\"/><a n=\"other\" v=\"miss\"/></r>");
  for (auto [name, expected] : {std::pair{"x\"] | //*[\"", u"hit"}, {"o'k", u"quote"}}) {
    XPath path("/r/a[@n=");
    path.Bind("name", name);
    path += "]";
    ASSERT_TRUE(parser_.findinititem(path)) << name;
    ASSERT_TRUE(parser_.findnextitem());
    char16_t value[8];
    ASSERT_EQ(parser_.findnextattribute(nullptr, 0, value, 8), 1);
    ASSERT_EQ(parser_.findnextattribute(nullptr, 0, value, 8), 1);
    EXPECT_EQ(std::u16string(value), expected);
    EXPECT_FALSE(parser_.findnextitem()) << "exactly one match for " << name;
  }
}

TEST_F(XmlParserTest, FailuresAreLoggedAndReportedNeverThrown) {
  EXPECT_FALSE(parser_.findnextitem());
  EXPECT_TRUE(log_.Has(Severity::Error, "XMLParser::findnextitem _ IXMLDOMNodeList pointer is NULL."));
  EXPECT_EQ(parser_.saveconfiguration(folder_.File("out.xml").c_str()), 0) << "nothing loaded";

  Load("<r a=\"1\"/>");
  EXPECT_FALSE(parser_.findinititem(XPath("/r[")));
  EXPECT_TRUE(LoggedStartingWith("XMLParser::findinititem _ com error[0xC0DE0004, "));
  EXPECT_FALSE(parser_.findinititem(XPath("count(/r)")));  // not a node set

  ASSERT_TRUE(parser_.findinititem(XPath("/r")));
  ASSERT_TRUE(parser_.findnextitem());
  EXPECT_EQ(parser_.setcurrentattributevalue(u"x"), 0) << "no attribute before findnextattribute";
  EXPECT_TRUE(LoggedStartingWith("XMLParser::setcurrentattributevalue _ com error[0xC0DE0006, "));

  log_.Clear();
  folder_.Write("bad.xml", "<r>\n  <a b=\"1\">\n</r>");
  EXPECT_EQ(parser_.loadconfiguration(folder_.File("bad.xml").c_str()), 0);
  EXPECT_TRUE(log_.Has(Severity::Error,
                       "XMLParser::loadconfiguration - IXMLDOMDocument.load(" + folder_.File("bad.xml") + ") failed."));
  EXPECT_EQ(std::string(parser_.parseerror()).rfind("Parsing error on line 3 position 3 : ", 0), 0u)
      << parser_.parseerror();
  EXPECT_FALSE(parser_.findinititem(XPath("/r"))) << "a failed load leaves an empty document";
}

TEST_F(XmlParserTest, CopiesIntoSmallBuffersAreCutAndTerminated) {
  Load("<r v=\"\xC3\xA9t\xC3\xA9\U0001F600\">long text</r>");
  ASSERT_TRUE(parser_.findinititem(XPath("/r")));
  char name[1];
  ASSERT_TRUE(parser_.findnextitem(name, sizeof name));
  EXPECT_STREQ(name, "");
  char16_t wide[5];
  ASSERT_EQ(parser_.findnextattribute(nullptr, 0, wide, 5), 1);
  EXPECT_EQ(std::u16string(wide), u"\u00e9t\u00e9") << "a surrogate pair is never cut in two";
  EXPECT_EQ(parser_.getcurrentitemtext(wide, 5), 1);
  EXPECT_EQ(std::u16string(wide), u"long");
  EXPECT_EQ(parser_.getcurrentitemtext(wide, 1), 0) << "no room for any character";
  EXPECT_EQ(parser_.getcurrentitemtext(wide, size_t{0x80000000}), 0) << "absurd sizes are refused";
}

}  // namespace
}  // namespace talvenix
