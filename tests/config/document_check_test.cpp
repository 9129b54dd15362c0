// SPDX-License-Identifier: Apache-2.0
// `config check`: each problem that would stop the engine, at its line.

#include "config/document_check.hpp"

#include <gmock/gmock.h>
#include "config/xml_loader.hpp"
#include "engine/generic_options.hpp"
#include "gateways/catalog/catalog.hpp"

#include "config_fixture.hpp"

namespace talvenix {
namespace {

using testing::TempFolder;

// The check by the engine's own option table, as `talvenix config check` runs it.
std::vector<ConfigProblem> CheckFile(const std::string& path) {
  TalvexGenericOptions unused;
  return CheckConfigurationDocument(path.c_str(), "sms", AvailableServices(), GlobalOptionsLoadTable(&unused));
}

std::vector<std::string> Check(const std::string& text) {
  TempFolder folder;
  std::string path = folder.Write("c.xml", text);
  std::vector<std::string> lines;
  for (const ConfigProblem& p : CheckFile(path))
    lines.push_back(std::to_string(p.line) + (p.kind == ConfigProblem::Kind::kError ? " E " : " W ") + p.text);
  return lines;
}

TEST(DocumentCheck, TheBundledFileHasNoProblems) {
  EXPECT_EQ(Check(testing::DefaultConfiguration()), std::vector<std::string>{});
  // A copy that declares another encoding it is also written in.
  const std::string declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
  for (const char* name : {"ISO-8859-1", "windows-1252", "us-ascii"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Check(testing::Replaced(testing::DefaultConfiguration(), declaration,
                                      "<?xml version=\"1.0\" encoding=\"" + std::string(name) + "\"?>")),
              std::vector<std::string>{});
  }
  EXPECT_THAT(Check(testing::Replaced(testing::DefaultConfiguration(), declaration,
                                      "<?xml version=\"1.0\" encoding=\"KOI8-R\"?>")),
              ::testing::ElementsAre(::testing::StartsWith(
                  "1 E not readable in its encoding: the document declares encoding \"KOI8-R\"")));
}

TEST(DocumentCheck, PointsAtWhatStopsTheEngine) {
  std::string good = testing::DefaultConfiguration();
  auto line_of = [&](const std::string& text) {
    return std::to_string(1 + std::count(good.begin(), good.begin() + good.find(text), '\n'));
  };
  EXPECT_EQ(
      Check(testing::Replaced(good, "<option name=\"enableengine\" value=\"yes\"/>", "")),
      std::vector<std::string>{line_of("<config>") + " E the required option \"enableengine\" is missing: add <option "
                                                     "name=\"enableengine\" value=\"...\"/>"});
  EXPECT_EQ(Check(testing::Replaced(good, "value=\"Null gateway\"", "value=\"Nobody\"")),
            std::vector<std::string>{line_of("name=\"selectedservice\"") +
                                     " E the selected service \"Nobody\" is not among the services"});
  EXPECT_EQ(Check(testing::Replaced(good, "transport=\"nuldrv\"", "transport=\"carrier-pigeon\"")),
            std::vector<std::string>{line_of("name=\"Null gateway\" transport") +
                                     " E the selected service \"Null gateway\" has the unknown transport id "
                                     "\"carrier-pigeon\""});
  EXPECT_EQ(Check(testing::Replaced(good, "transport=\"gensmtp\"", "transport=\"smtp\"")),
            std::vector<std::string>{line_of("transport=\"gensmtp\"") + " W unknown transport id \"smtp\""});
  EXPECT_EQ(
      Check(testing::Replaced(good, "name=\"enableengine\" value=\"yes\"", "name=\"enableengine\" value=\"Yes\"")),
      std::vector<std::string>{line_of("name=\"enableengine\"") +
                               " E enableengine is \"Yes\": the engine will not start (121 engine disabled); "
                               "write \"yes\" to enable it"});
}

// A port or interval the gateway cannot use (a device port 99999 would be
// used as 34463): an error for the selected service, a warning for the others.
TEST(DocumentCheck, NumbersOutsideTheirRangeAreReportedAtTheirLine) {
  std::string good = testing::DefaultConfiguration();
  auto line_of = [&](const std::string& text) {
    return std::to_string(1 + std::count(good.begin(), good.begin() + good.find(text), '\n'));
  };
  std::string bad = testing::Replaced(good, "id=\"[port]\" name=\"Port\" value=\"80\"",
                                      "id=\"[port]\" name=\"Port\" value=\"99999\"");
  bad = testing::Replaced(bad, "name=\"Poll Interval\" value=\"1\"", "name=\"Poll Interval\" value=\"abc\"");
  EXPECT_EQ(Check(bad), (std::vector<std::string>{
                            line_of("name=\"Poll Interval\"") +
                                " W the property [receivepollinterval] of \"MessageMedia\" is \"abc\": it takes a "
                                "whole number from 1 to 999999999",
                            line_of("id=\"[port]\"") +
                                " W the property [port] of \"Multi-Tech iSMS\" is \"99999\": it takes a whole "
                                "number from 1 to 65535"}));
  const std::string typed_in = testing::Replaced(good, "[smtppassword]\" name=\"SMTP Password\" value=\"\"",
                                                 "[smtppassword]\" name=\"SMTP Password\" value=\"hunter2\"");
  EXPECT_EQ(Check(typed_in), std::vector<std::string>{line_of("[smtppassword]") +
                                                      " W the property [smtppassword] of \"E-mail to SMS\" is marked "
                                                      "encrypt=\"yes\" but its value is not enciphered: it is used as "
                                                      "it stands; set it through the settings to store it enciphered"});
  bad = testing::Replaced(bad, "value=\"Null gateway\"", "value=\"Multi-Tech iSMS\"");
  EXPECT_EQ(Check(bad).back(), line_of("id=\"[port]\"") +
                                   " E the property [port] of \"Multi-Tech iSMS\" is \"99999\": it takes a whole "
                                   "number from 1 to 65535");
}

// The check finds an error exactly where the engine cannot load its global
// options: both find an option, the selected service and the longest name
// the engine keeps by the same rules.
TEST(DocumentCheck, FindsAnErrorExactlyWhereTheEngineCannotLoad) {
  const std::string good = testing::DefaultConfiguration();
  struct Case {
    std::string label, text;
  };
  std::vector<Case> cases = {
      {"service NAME", testing::Replaced(good, "<service name=\"Null gateway\"", "<service NAME=\"Null gateway\"")},
      {"option VALUE", testing::Replaced(good, "\"selectedservice\" value=", "\"selectedservice\" VALUE=")},
  };
  // Names about as long as the engine's record holds: the longest are cut.
  const size_t room = sizeof(TalvexGenericOptions::selectedservice);
  for (size_t length = room - 4; length <= room; ++length) {
    std::string name(length, 'n');
    cases.push_back({std::to_string(length) + " bytes",
                     testing::Replaced(testing::Replaced(good, "value=\"Null gateway\"", "value=\"" + name + "\""),
                                       "<service name=\"Null gateway\"", "<service name=\"" + name + "\"")});
  }
  int loaded = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempFolder folder;
    std::string path = folder.Write("c.xml", c.text);
    std::vector<ConfigProblem> problems = CheckFile(path);
    bool errs = std::any_of(problems.begin(), problems.end(),
                            [](const ConfigProblem& p) { return p.kind == ConfigProblem::Kind::kError; });
    XMLLoader loader(nullptr, path.c_str(), "sms");
    TalvexGenericOptions options{};
    bool loads = LoadGenericXMLConfigs(&options, &loader) != 0;
    EXPECT_NE(errs, loads);
    loaded += loads;
  }
  EXPECT_GT(loaded, 0);
  EXPECT_LT(loaded, static_cast<int>(cases.size()));
}

TEST(DocumentCheck, ReportsDocumentsThatDoNotParse) {
  EXPECT_EQ(Check("<vantrelcomms>\n  <sms>\n</vantrelcomms>\n"),
            std::vector<std::string>{"3 E not well-formed: Start-end tags mismatch (position 3)"});
  EXPECT_EQ(Check("<config/>"),
            std::vector<std::string>{"1 E the root element is <config>; it must be <vantrelcomms>"});
  EXPECT_EQ(Check("<vantrelcomms>\n<fax/></vantrelcomms>"),
            std::vector<std::string>{"1 E no <sms> element in <vantrelcomms>"});
  EXPECT_EQ(Check("<!DOCTYPE vantrelcomms [<!ENTITY gw \"Null gateway\">]>\n<vantrelcomms/>"),
            std::vector<std::string>{"1 E refused: the document type declares an entity; entities are not read: "
                                     "remove the declaration and write the text itself (position 25)"});
  EXPECT_EQ(Check("<vantrelcomms>\n<sms name='a' name='b'/></vantrelcomms>"),
            std::vector<std::string>{"2 E refused: the attribute \"name\" is given twice on one element: keep one "
                                     "(position 15)"});
  TempFolder folder;
  auto missing = CheckFile(folder.File("none.xml"));
  ASSERT_EQ(missing.size(), 1u);
  EXPECT_THAT(missing[0].text, ::testing::StartsWith("cannot be read: cannot open the file: "));
  EXPECT_GT(missing[0].text.size(), std::string("cannot be read: cannot open the file: ").size());  // and why
}

}  // namespace
}  // namespace talvenix
