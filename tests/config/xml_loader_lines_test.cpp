// SPDX-License-Identifier: Apache-2.0
// The lines operations of XMLLoader: count, list, update one line, add and
// remove lines, on a GSM service standing first under services.

#include "loader_fixture.hpp"

namespace talvenix {
namespace {

using testing::Document;
using testing::LoaderTest;
using testing::Option;

std::string Property(const char* name, const char* id, const char* value) {
  return std::string("              <property name=\"") + name + "\" id=\"" + id + "\" value=\"" + value + "\"/>\n";
}

std::string Line(const std::string& properties) {
  return "          <line>\n            <properties>\n" + properties + "            </properties>\n          </line>\n";
}

const std::string kLine3 = Line(Property("COM Port", "[comport]", "3") + Property("Baud Rate", "[baudrate]", "9600") +
                                Property("Line Name", "[linename]", "A"));
// The second line has no baud rate.
const std::string kLine5 = Line(Property("COM Port", "[comport]", "COM5") + Property("Line Name", "[linename]", "B"));

std::string Modems(const std::string& lines) {
  return Document(Option("enableengine", "yes") + Option("selectedservice", "Modems"),
                  "      <service name=\"Modems\" transport=\"simple_gsm\">\n        <lines>\n" + lines +
                      "        </lines>\n        <properties/>\n      </service>\n"
                      "      <service name=\"Mail\" transport=\"gensmtp\"><properties/></service>\n");
}

class LinesTest : public LoaderTest {
 protected:
  void SetUp() override { Use(Modems(kLine3 + kLine5)); }

  std::vector<LinePropertyItem> Rows(const std::vector<std::pair<const char16_t*, const char16_t*>>& pairs) {
    std::vector<LinePropertyItem> rows(pairs.size());
    for (size_t i = 0; i < pairs.size(); ++i) {
      rows[i].item.id = pairs[i].first;
      rows[i].value = pairs[i].second;
    }
    return rows;
  }
};

TEST_F(LinesTest, CountsAndListsThePropertiesOfEveryLine) {
  EXPECT_EQ(loader_->LoadServiceConfigsEx(u"simple_gsm", u"[comport]", nullptr), 5);

  std::vector<LinePropertyItem> rows(5);
  ASSERT_EQ(loader_->LoadServiceConfigsEx(u"simple_gsm", u"[comport]", &rows), 2);
  const int numbers[] = {1, 1, 1, 2, 2};
  const char16_t* keys[] = {u"3", u"3", u"3", u"COM5", u"COM5"};
  const char16_t* ids[] = {u"[comport]", u"[baudrate]", u"[linename]", u"[comport]", u"[linename]"};
  const char16_t* values[] = {u"3", u"9600", u"A", u"COM5", u"B"};
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(rows[i].line_number, numbers[i]);
    EXPECT_EQ(rows[i].line_key, keys[i]);
    EXPECT_EQ(rows[i].item.id, ids[i]);
    EXPECT_EQ(rows[i].value, values[i]);
  }

  // A list sized by an earlier, smaller count is filled only as far as it goes.
  std::vector<LinePropertyItem> short_list(2);
  EXPECT_EQ(loader_->LoadServiceConfigsEx(u"simple_gsm", u"[comport]", &short_list), 1);
  EXPECT_EQ(short_list.size(), 2u);
  EXPECT_EQ(short_list[1].value, u"9600");

  EXPECT_EQ(loader_->LoadServiceConfigsEx(u"gensmtp", u"[comport]", nullptr), 0) << "a service without lines";
  EXPECT_EQ(loader_->LoadServiceConfigsEx(nullptr, u"[comport]", nullptr), 0);
}

TEST_F(LinesTest, AListingFollowsTheFileWhenItChanges) {
  std::vector<LinePropertyItem> rows(5);
  ASSERT_EQ(loader_->LoadServiceConfigsEx(u"simple_gsm", u"[comport]", &rows), 2);
  RewriteKeepingTime(testing::Replaced(document_, "\"COM5\"", "\"COM6\""));
  ASSERT_EQ(loader_->LoadServiceConfigsEx(u"simple_gsm", u"[comport]", &rows), 2);
  EXPECT_EQ(rows[3].value, u"COM6");
  EXPECT_EQ(rows[4].line_key, u"COM6");

  LineTemplate line = {{u"COM Port", u"[comport]", u"7"}, {u"Line Name", u"[linename]", u"C"}};
  ASSERT_EQ(loader_->CreateNewLine(u"simple_gsm", &line), 1);  // a save: the listing must not outlive it
  EXPECT_EQ(loader_->LoadServiceConfigsEx(u"simple_gsm", u"[comport]", nullptr), 7);
}

// Only property elements exactly at lines/line/properties/property count, in
// document order across several lines elements; look-alikes at other depths,
// in other letter cases or in another service are not rows.
TEST_F(LinesTest, ListsOnlyLinePropertiesInDocumentOrder) {
  Use(Document(Option("enableengine", "yes"),
               "      <service name=\"Other\" transport=\"other\"><lines>" + kLine5 + "</lines></service>\n"
               "      <service name=\"Modems\" transport=\"simple_gsm\">\n"
               "        <properties><property id=\"[comport]\" value=\"service-level\"/></properties>\n"
               "        <lines>\n"
               "          <line><property id=\"[comport]\" value=\"too shallow\"/>\n"
               "            <!-- <properties><property id=\"[comport]\" value=\"comment\"/></properties> -->\n"
               "            <properties>\n"
               "              <property ID=\"[comport]\" Value=\"1\"><property id=\"[x]\" value=\"nested\"/></property>\n"
               "              <Property id=\"[comport]\" value=\"wrong case\"/>\n"
               "              <property id=\"[linename]\" value=\"a\" VALUE=\"last wins\"/>\n"
               "            </properties>\n"
               "            <properties><property id=\"[baudrate]\" value=\"9600\"/></properties>\n"
               "          </line>\n"
               "          <Line><properties><property id=\"[comport]\" value=\"wrong case\"/></properties></Line>\n"
               "        </lines>\n"
               "        <lines>" + kLine5 + "</lines>\n"
               "      </service>\n"));
  EXPECT_EQ(loader_->LoadServiceConfigsEx(u"simple_gsm", u"[comport]", nullptr), 5);

  // A reused list whose rows hold longer, older texts.
  std::vector<LinePropertyItem> rows(6);
  for (LinePropertyItem& row : rows) {
    row.item.id = row.value = row.line_key = u"an older and much longer text";
    row.line_number = 99;
  }
  ASSERT_EQ(loader_->LoadServiceConfigsEx(u"simple_gsm", u"[comport]", &rows), 2);
  const int numbers[] = {1, 1, 1, 2, 2};
  const char16_t* keys[] = {u"1", u"1", u"1", u"COM5", u"COM5"};
  const char16_t* ids[] = {u"[comport]", u"[linename]", u"[baudrate]", u"[comport]", u"[linename]"};
  const char16_t* values[] = {u"1", u"last wins", u"9600", u"COM5", u"B"};
  for (size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(rows[i].line_number, numbers[i]);
    EXPECT_EQ(rows[i].line_key, keys[i]);
    EXPECT_EQ(rows[i].item.id, ids[i]);
    EXPECT_EQ(rows[i].value, values[i]);
  }
  EXPECT_EQ(rows[5].value, u"an older and much longer text") << "a row beyond the properties is left alone";
  EXPECT_EQ(rows[5].line_number, 99);

  // Without a key no row starts a line.
  ASSERT_EQ(loader_->LoadServiceConfigsEx(u"simple_gsm", nullptr, &rows), 0);
  EXPECT_EQ(rows[3].line_number, 0);
  EXPECT_EQ(rows[3].line_key, u"");
}

TEST_F(LinesTest, UpdatesOnlyTheLineWithTheGivenNumber) {
  auto rows = Rows({{u"[linename]", u"Z&\"Q\""}, {u"[baudrate]", u"115200"}});
  ASSERT_EQ(loader_->UpdateServiceConfigsEx(u"simple_gsm", 5, u"[comport]", &rows), 1);
  // The second line has no baud rate: the change is refused, not moved onto another line.
  EXPECT_TRUE(log_.Has(Severity::Error, "XMLLoader::UpdateGSMCOMLineProperties - failed to change field '[baudrate]'"));
  EXPECT_EQ(File(), Modems(kLine3 + testing::Replaced(kLine5, "value=\"B\"", "value=\"Z&amp;&quot;Q&quot;\"")));

  EXPECT_EQ(loader_->UpdateServiceConfigsEx(u"simple_gsm", 7, u"[comport]", &rows), 0);
  EXPECT_TRUE(log_.Has(Severity::Error, "XMLLoader::UpdateServiceConfigsEx - could not find specfied line."));
  EXPECT_EQ(loader_->UpdateServiceConfigsEx(u"gensmtp", 3, u"[comport]", &rows), 0);
  EXPECT_TRUE(log_.Has(Severity::Error,
                       "XMLLoader::UpdateServiceConfigsEx - invalid root path: /vantrelcomms/*[name()=\"sms\"]"
                       "/services/service[@name=\"Mail\"]/lines/line"));
}

TEST_F(LinesTest, ANewLineIsAppendedIndentedLikeTheOthers) {
  LineTemplate line = {{u"COM Port", u"[comport]", u"7"}, {u"Line Name", u"[linename]", u"N\u00e9w \"one\""}};
  ASSERT_EQ(loader_->CreateNewLine(u"simple_gsm", &line), 1);
  EXPECT_EQ(File(), Modems(kLine3 + kLine5 +
                           Line(Property("COM Port", "[comport]", "7") +
                                Property("Line Name", "[linename]", "N\xC3\xA9w &quot;one&quot;"))));
  std::vector<LinePropertyItem> rows(7);
  EXPECT_EQ(loader_->LoadServiceConfigsEx(u"simple_gsm", u"[comport]", &rows), 3);
  EXPECT_EQ(rows[6].value, u"N\u00e9w \"one\"");

  EXPECT_EQ(loader_->CreateNewLine(u"gensmtp", &line), 0) << "a service without lines";
  EXPECT_EQ(loader_->CreateNewLine(u"SIMPLE_GSM", &line), 0) << "the transport is compared exactly";
  LineTemplate empty;
  EXPECT_EQ(loader_->CreateNewLine(u"simple_gsm", &empty), 0);
}

TEST_F(LinesTest, DeletesTheFirstLineWithTheGivenNumber) {
  EXPECT_EQ(loader_->DeleteLine(u"simple_gsm", 9), 0);
  EXPECT_TRUE(FileUnchanged());
  ASSERT_EQ(loader_->DeleteLine(u"simple_gsm", 3), 1);
  EXPECT_EQ(File(), Modems(kLine5));
  EXPECT_EQ(loader_->DeleteLine(u"simple_gsm", 5), 0) << "\"COM5\" does not read as a number";
}

TEST_F(LinesTest, LineOperationsOnAnUnreadableFileChangeNothing) {
  folder_.Write("qvsmscomms.xml", "<vantrelcomms>");
  LineTemplate line = {{u"COM Port", u"[comport]", u"7"}};
  EXPECT_EQ(loader_->CreateNewLine(u"simple_gsm", &line), 0);
  EXPECT_EQ(loader_->DeleteLine(u"simple_gsm", 3), 0);
  EXPECT_EQ(folder_.Read("qvsmscomms.xml"), "<vantrelcomms>");
  EXPECT_EQ(folder_.CountEntries(), 1);
}

}  // namespace
}  // namespace talvenix
