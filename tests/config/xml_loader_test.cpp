// SPDX-License-Identifier: Apache-2.0
// XMLLoader over small inline documents: global options, service properties,
// descriptions, templates, name translation and the property enumeration.

#include <cstring>

#include "contract/service.hpp"
#include "engine/generic_options.hpp"
#include "loader_fixture.hpp"
#include "support/value_cipher.hpp"

namespace talvenix {
namespace {

using testing::Document;
using testing::LoaderTest;
using testing::Option;

const std::string kOptions = Option("enableengine", "yes") + Option("selectedservice", "Click &quot;A&quot; [1]") +
                             Option("splitsms", "Yes") + Option("maxsmssplit", "1,000") + Option("maxsmschars", "0") +
                             Option("disableunicode", "yes") +
                             Option("append", "no", " position=\"before\" infotype=\"popup\"");

const std::string kServices =
    "      <service name=\"Null\" transport=\"nuldrv\"><properties/></service>\n"
    "      <service transport=\"clickatellapi\" signupurl=\"https://sign.up/?a=1&amp;b=2\" "
    "name=\"Click &quot;A&quot; [1]\">\n"
    "        <properties>\n"
    "          <property id=\"[user]\" name=\"User\" value=\"alice-long\"><description><eng>The user</eng>"
    "</description></property>\n"
    "          <property id=\"[password]\" name=\"Password\" value=\"\" encrypt=\"yes\"><description>Plain"
    "</description></property>\n"
    "          <property id=\"[from]\" name=\"From\" value=\"plain\" encrypt=\"Yes\"/>\n"
    "          <property id=\"[baud]\" name=\"Baud\" Value=\"115200\"/>\n"
    "          <property id=\"[o'dd]\" value=\"odd\"/>\n"
    "        </properties>\n"
    "      </service>\n";

const std::string kTemplates =
    "  <templates><template name=\"t'1\"><from>a@b</from><body>one\ntwo <i>three</i></body></template>"
    "</templates>\n";

class XmlLoaderTest : public LoaderTest {
 protected:
  void SetUp() override { Use(Document(kOptions, kServices, kTemplates)); }
};

TEST_F(XmlLoaderTest, GlobalOptionsLoadWithTheFileFormatsReadings) {
  TalvexGenericOptions o{};
  o.automaticrouting = 7;
  ASSERT_EQ(LoadGenericXMLConfigs(&o, loader_.get()), 1);
  EXPECT_EQ(o.enableengine, 1);
  EXPECT_STREQ(o.selectedservice, "Click \"A\" [1]");
  EXPECT_STREQ(o.transport_id, "clickatellapi");
  EXPECT_EQ(o.service_flag, TALVEX_SERVICE_CLICKATELL);
  EXPECT_EQ(o.splitsms, 0) << "a capital Yes is false";
  EXPECT_EQ(o.maxsmssplit, 1000);
  EXPECT_EQ(o.disableunicode, 0) << "an integer option reads yes as 0";
  EXPECT_EQ(o.automaticrouting, 1) << "missing: the default";
  EXPECT_EQ(o.smsautoroute_ttl, 300);
  EXPECT_STREQ(o.position, "before");
  EXPECT_STREQ(o.infotype, "popup");
}

TEST_F(XmlLoaderTest, ARequiredOptionMissingStopsTheLoadWhereItIs) {
  int32_t first = -1, third = -1;
  char missing[8] = "keep";
  ConfigTable table;
  table.emplace_back(kConfigLoad, u"enableengine", kValueBoolean, &first, 4);
  table.emplace_back(kConfigLoad, u"nosuchoption", kValueNarrow, missing, 8);
  table.emplace_back(kConfigLoad, u"maxsmssplit", kValueInteger, &third, 4);
  EXPECT_EQ(loader_->LoadGlobalConfigs(&table), 0);
  EXPECT_EQ(first, 1);
  EXPECT_STREQ(missing, "keep");
  EXPECT_EQ(third, -1);

  table[1].optional = 1;  // optional without a default: empty text
  EXPECT_EQ(loader_->LoadGlobalConfigs(&table), 1);
  EXPECT_STREQ(missing, "");
  EXPECT_EQ(third, 1000);
}

TEST_F(XmlLoaderTest, GlobalUpdateChangesOnlyTheSelectedAttributes) {
  TalvexGenericOptions o{};
  o.maxsmssplit = 5;
  std::strcpy(o.infotype, "a&b \"c\"");
  o.automaticrouting = 1;  // no such option in the file: warned, others still written
  ASSERT_EQ(UpdateGenericXMLConfigs(loader_.get(), &o,
                                    TALVEX_OPT_MAXSMSSPLIT | TALVEX_OPT_INFOTYPE | TALVEX_OPT_AUTOMATICROUTING),
            1);
  std::string expected = testing::Replaced(document_, "\"1,000\"", "\"5\"");
  expected = testing::Replaced(expected, "infotype=\"popup\"", "infotype=\"a&amp;b &quot;c&quot;\"");
  EXPECT_EQ(File(), expected);
  EXPECT_TRUE(
      log_.Has(Severity::Warning, "XMLLoader::UpdateGlobalConfigs - Failed to Update XML Setting [automaticrouting]."));
}

TEST_F(XmlLoaderTest, ServicePropertiesLoadByRowWithDefaultsAndLimits) {
  char16_t user[6], from[16], body[32], missing[8] = u"old";
  char signup[64], signup_absent[64];
  int32_t baud = 0, fallback = 0, three = 3;
  ConfigTable table;
  table.emplace_back(kConfigLoad, u"[user]", kValueWide, user, 6);
  table.emplace_back(kConfigLoad, u"[from]", kValueWide, from, 16);
  table.emplace_back(kConfigLoad, u"[baud]", kValueInteger, &baud, 4);  // the whole number, whatever the row size
  table.emplace_back(kConfigLoad, u"signupurl", kValueNarrow, signup, 64, nullptr, 0, kSourceServiceAttribute);
  table.emplace_back(kConfigLoad, u"body", kValueWide, body, 32, nullptr, 0, kSourceTemplateField, u"t'1");
  table.emplace_back(kConfigLoad, u"[absent]", kValueInteger, &fallback, 4, &three, 1);
  table.emplace_back(kConfigLoad, u"[o'dd]", kValueWide, missing, 8, nullptr, 1, kSourceOptionAttribute);
  table.emplace_back(kConfigLoad, u"centralurl", kValueNarrow, signup_absent, 64, nullptr, 1, kSourceServiceAttribute);
  ASSERT_EQ(loader_->LoadServiceConfigs(u"clickatellapi", &table, 0), 1);
  EXPECT_EQ(std::u16string(user), u"alice");
  EXPECT_EQ(std::u16string(from), u"plain") << "encrypt=\"Yes\" is not the flag";
  EXPECT_EQ(baud, 115200);
  EXPECT_STREQ(signup, "https://sign.up/?a=1&b=2");
  EXPECT_EQ(std::u16string(body), u"one\ntwo three");
  EXPECT_EQ(fallback, 3);
  EXPECT_TRUE(log_.Has(Severity::Warning, "LoadServiceConfigs: Failed to load [[absent]]"));
  // An absent optional attribute of the service element is no warning: every start would log it.
  EXPECT_TRUE(log_.Has(Severity::Information, "LoadServiceConfigs: Failed to load [centralurl]"));
  for (const auto& line : log_.lines())
    EXPECT_FALSE(line.severity == Severity::Warning && line.text.find("attribute") != std::string::npos) << line.text;
  EXPECT_EQ(std::u16string(missing), u"") << "option attributes are not service values";

  table.emplace_back(kConfigLoad, u"[required]", kValueWide, user, 6);
  EXPECT_EQ(loader_->LoadServiceConfigs(u"clickatellapi", &table, 0), 0);
  EXPECT_TRUE(log_.Has(Severity::Error, "Failed To Load Config [[required]] "));
}

TEST_F(XmlLoaderTest, DescriptionsPreferTheEnglishText) {
  char16_t user[32], password[32];
  ConfigTable table;
  table.emplace_back(kConfigLoad, u"[user]", kValueWide, user, 32);
  table.emplace_back(kConfigLoad, u"[password]", kValueWide, password, 32);
  ASSERT_EQ(loader_->LoadServiceConfigs(u"clickatellapi", &table, 1), 1);
  EXPECT_EQ(std::u16string(user), u"The user");
  EXPECT_EQ(std::u16string(password), u"Plain");
}

TEST_F(XmlLoaderTest, FlaggedPropertiesAreWrittenEncipheredAndReadBackPlain) {
  char16_t password[64] = u"p\u00e4ss \"&<w>rd\U0001F600", from[16] = u"sender";
  ConfigTable update;
  update.emplace_back(kConfigUpdate, u"[password]", kValueWide, password, 0, nullptr, 1);
  update.emplace_back(kConfigUpdate, u"[from]", kValueWide, from, 0, nullptr, 1);
  ASSERT_EQ(loader_->UpdateServiceConfigs(u"clickatellapi", &update), 1);
  std::string file = File();
  EXPECT_EQ(file.find("w>rd"), std::string::npos) << "the password is not in the file in clear";
  EXPECT_NE(file.find("value=\"" + EncipherValue("p\xC3\xA4ss \"&<w>rd\xF0\x9F\x98\x80") + "\""), std::string::npos);
  EXPECT_NE(file.find("value=\"sender\" encrypt=\"Yes\""), std::string::npos);

  char16_t back[64] = u"";
  ConfigTable load;
  load.emplace_back(kConfigLoad, u"[password]", kValueWide, back, 64);
  ASSERT_EQ(loader_->LoadServiceConfigs(u"clickatellapi", &load, 0), 1);
  EXPECT_EQ(std::u16string(back), std::u16string(password));
}

// Someone typed the password into the file: it is used as it stands (the
// gateway starts), with a warning that names the property, never the value.
TEST_F(XmlLoaderTest, APlainValueInAFlaggedPropertyIsUsedAsItStandsNotGarbled) {
  Use(testing::Replaced(document_, "value=\"\" encrypt", "value=\"hunter2\" encrypt"));
  char16_t back[16] = u"";
  ConfigTable load;
  load.emplace_back(kConfigLoad, u"[password]", kValueWide, back, 16);
  EXPECT_EQ(loader_->LoadServiceConfigs(u"clickatellapi", &load, 0), 1);
  EXPECT_EQ(std::u16string(back), u"hunter2");
  EXPECT_TRUE(
      log_.HasText("XMLLoader::getpropertyvaluefromid _ Value of property id '[password]' is not enciphered "
                   "text; it is used as it stands: set it through the settings to store it enciphered."));
  for (const auto& line : log_.lines()) EXPECT_EQ(line.text.find("hunter2"), std::string::npos) << line.text;
}

TEST_F(XmlLoaderTest, ServiceUpdateWritesNothingUnlessEveryRowSucceeds) {
  char16_t user[8] = u"bob";
  ConfigTable table;
  table.emplace_back(kConfigUpdate, u"[user]", kValueWide, user, 8, nullptr, 1);
  table.emplace_back(kConfigUpdate, u"[from]", kValueWide, nullptr, 8, nullptr, 1);
  EXPECT_EQ(loader_->UpdateServiceConfigs(u"clickatellapi", &table), 0);
  EXPECT_TRUE(log_.Has(Severity::Error, "XMLLoader::UpdateServiceConfigs - Failed to Update Setting(s)."));
  EXPECT_TRUE(FileUnchanged());

  // The next operation reloads, so the half-done change is gone from memory too.
  char16_t now[16];
  ConfigTable load;
  load.emplace_back(kConfigLoad, u"[user]", kValueWide, now, 16);
  ASSERT_EQ(loader_->LoadServiceConfigs(u"clickatellapi", &load, 0), 1);
  EXPECT_EQ(std::u16string(now), u"alice-long");
}

// Another program may rewrite the file with the same size within the
// clock's resolution: only its bytes tell, and the next operation must see them.
TEST_F(XmlLoaderTest, EveryOperationSeesTheFileAsItIsNow) {
  char16_t user[16];
  ConfigTable load;
  load.emplace_back(kConfigLoad, u"[user]", kValueWide, user, 16);
  ASSERT_EQ(loader_->LoadServiceConfigs(u"clickatellapi", &load, 0), 1);
  EXPECT_EQ(std::u16string(user), u"alice-long");

  RewriteKeepingTime(testing::Replaced(document_, "alice-long", "alice-LONG"));
  ASSERT_EQ(loader_->LoadServiceConfigs(u"clickatellapi", &load, 0), 1);
  EXPECT_EQ(std::u16string(user), u"alice-LONG");

  RewriteKeepingTime(testing::Replaced(document_, "<templates>", "<templatez>"));
  EXPECT_EQ(loader_->LoadServiceConfigs(u"clickatellapi", &load, 0), 0) << "a file broken since is not read";
}

TEST_F(XmlLoaderTest, ServiceNamesResolveWhateverTheAttributeOrder) {
  char name[32];
  ASSERT_EQ(loader_->ResolveSrvNameFromID(u"CLICKATELLapi", name, sizeof name), 1) << "transport after name";
  EXPECT_STREQ(name, "Click \"A\" [1]");
  char cut[6];
  ASSERT_EQ(loader_->ResolveSrvNameFromID(u"clickatellapi", cut, sizeof cut), 1);
  EXPECT_STREQ(cut, "Click");

  EXPECT_EQ(loader_->ResolveSrvNameFromID(u"simple_gsm", name, sizeof name), 0);
  EXPECT_TRUE(log_.Has(Severity::Warning,
                       "XMLLoader::ResolveSrvNameFromID - No service with transport ID 'simple_gsm' was found"));
  EXPECT_EQ(loader_->ResolveSrvNameFromID(u"nuldrv", name, 1), 0);

  char id[32];
  ASSERT_EQ(loader_->ResolveIDFromSrvName("Click \"A\" [1]", id, sizeof id), 1);
  EXPECT_STREQ(id, "clickatellapi");
  EXPECT_EQ(loader_->ResolveIDFromSrvName("Click", id, sizeof id), 0);
  EXPECT_TRUE(log_.Has(Severity::Error, "XMLLoader::ResolveIDFromSrvName - Failed to load transport value."));
}

TEST_F(XmlLoaderTest, ValuesFarLongerThanAnyWorkingBufferLoadWhole) {
  std::string huge(20000, 'v');
  Use(testing::Replaced(document_, "alice-long", huge));
  std::u16string user(30000, u'x');
  ConfigTable table;
  table.emplace_back(kConfigLoad, u"[user]", kValueWide, user.data(), static_cast<int32_t>(user.size()));
  ASSERT_EQ(loader_->LoadServiceConfigs(u"clickatellapi", &table, 0), 1);
  EXPECT_EQ(std::u16string(user.c_str()), std::u16string(20000, u'v'));
}

TEST_F(XmlLoaderTest, PropertiesAreEnumeratedForTheSettingsScreens) {
  EXPECT_EQ(loader_->findinitproperty("Click \"A\" [1]"), 0) << "nothing loaded yet: it does not reload";
  ASSERT_EQ(loader_->ReloadConfiguration(), 1);
  ASSERT_EQ(loader_->findinitproperty("Click \"A\" [1]"), 1);
  char name[16], id[16];
  char16_t value[16];
  std::vector<std::string> names;
  while (loader_->findnextproperty(name, sizeof name, value, 16, id, sizeof id)) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"User", "Password", "From", "Baud"}));
  EXPECT_STREQ(id, "[o'dd]");
  EXPECT_TRUE(log_.Has(Severity::Warning, " XMLLoader::findnextproperty _ Property name not found."));
  EXPECT_EQ(loader_->findinitproperty("Null"), 0);
  EXPECT_TRUE(log_.Has(Severity::Warning, " XMLLoader::findinitproperty _ No properties found."));
}

TEST_F(XmlLoaderTest, UnreadableDocumentsFailEveryOperationWithTheParseError) {
  folder_.Write("qvsmscomms.xml", "<vantrelcomms><sms>\n<config></sms>");
  TalvexGenericOptions o{};
  EXPECT_EQ(LoadGenericXMLConfigs(&o, loader_.get()), 0);
  EXPECT_TRUE(log_.Has(Severity::Error,
                       "XMLParser::loadconfiguration - Parsing error on line 2 position 11 : "
                       "Start-end tags mismatch"));
  std::vector<LinePropertyItem> lines(4);
  EXPECT_EQ(loader_->LoadServiceConfigsEx(u"simple_gsm", u"[comport]", &lines), 0);
}

TEST(XmlLoaderArguments, PathsAndCategoriesThatDoNotFitAreRefused) {
  testing::RecordingLogger log;
  testing::TempFolder folder;
  std::string path = folder.Write("c.xml", Document(kOptions, kServices));
  std::string long_category(63, 'c');
  XMLLoader cut_category(&log, path.c_str(), long_category.c_str());
  EXPECT_EQ(cut_category.ReloadConfiguration(), 0);
  EXPECT_EQ(cut_category.findinitproperty("Null"), 0);
  EXPECT_TRUE(log.Has(Severity::Error, "constructserviceroot _ Invalid parameter for service type."));
  std::string long_path = folder.File(std::string(260, 'p'));
  EXPECT_EQ(XMLLoader(&log, long_path.c_str(), "sms").ReloadConfiguration(), 0);
  EXPECT_EQ(XMLLoader(&log, nullptr, "sms").ReloadConfiguration(), 0);

  XMLLoader fine(nullptr, path.c_str(), "sms");  // no logger: quiet, not a crash
  EXPECT_EQ(fine.ReloadConfiguration(), 1);
  EXPECT_EQ(fine.LoadGlobalConfigs(nullptr), 0);
}

}  // namespace
}  // namespace talvenix
