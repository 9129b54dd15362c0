// SPDX-License-Identifier: Apache-2.0
// The configuration exports and the engine's start-up through the real module
// (loaded with dlopen, as a host does) on real copies of the bundled file.


#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "config_fixture.hpp"
#include "hostkit/module.hpp"

namespace talvenix {
namespace {

using host::Module;
using testing::TempFolder;

// Runs each test inside a fresh folder holding a copy of the bundled file,
// as the engine reads "qvsmscomms.xml" from the working folder.
class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    original_ = testing::DefaultConfiguration();
    folder_.Write("qvsmscomms.xml", original_);
  }
  void TearDown() override {
    m_.Unint();
    m_.Unint();  // the second releases the configuration-only loader when both states were set
  }
  std::string Log() { return folder_.Read("Talvenix.log"); }

  Module& m_ = Module::Get();
  TempFolder folder_;
  testing::WorkingFolder inside_{folder_.path()};
  std::string original_;
};

std::atomic<int> g_received{0};

int32_t CountMessages(int32_t, int32_t, uint32_t event, uintptr_t, void* data, uint32_t) {
  auto* message = static_cast<TalvexReceivedMessage*>(data);
  if (event == TALVEX_EVENT_RECEIVED && message && message->originator.text &&
      std::strcmp(message->originator.text, "88888") == 0)
    ++g_received;
  return 0;
}

TEST_F(ModuleTest, TheEngineRunsFromTheBundledFile) {
  TalvexGenericOptions* options = nullptr;
  ASSERT_EQ(m_.InitTalvex(0, CountMessages, &options), TALVEX_OK);
  ASSERT_NE(options, nullptr);
  EXPECT_EQ(options->service_flag, TALVEX_SERVICE_NULL);
  EXPECT_STREQ(options->transport_id, "nuldrv");
  EXPECT_EQ(options->maxsmschars, 160);

  std::u16string text = u"Hello from the tests";
  TalvexSmsRequest request{};
  request.text = text.data();
  request.text_capacity = static_cast<uint32_t>(text.size() + 1);
  request.recipient = "+15550100";
  EXPECT_EQ(m_.SendSMS(&request), TALVEX_OK);

  g_received = 0;
  for (int i = 0; i < 50 && g_received == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_GT(g_received.load(), 0) << "the null gateway delivers a fake message every second";
  m_.Unint();
  EXPECT_EQ(folder_.Read("qvsmscomms.xml"), original_) << "running never writes the file";
}

TEST_F(ModuleTest, GlobalOptionsAreReadAndChangedInPlace) {
  ASSERT_EQ(m_.InitXMLConfigurations("qvsmscomms.xml", "sms"), 1);
  TalvexGenericOptions options{};
  ASSERT_EQ(m_.LoadGSMGenericXMLConfigurations(&options), 1);
  EXPECT_STREQ(options.selectedservice, "Null gateway");
  EXPECT_EQ(options.maxsmssplit, 3);

  options.maxsmssplit = 5;
  ASSERT_EQ(m_.ChangeXMLGenericConfigurations(&options, TALVEX_OPT_MAXSMSSPLIT), 1);
  EXPECT_EQ(folder_.Read("qvsmscomms.xml"),
            testing::Replaced(original_, "name=\"maxsmssplit\" value=\"3\"", "name=\"maxsmssplit\" value=\"5\""));

  // Selecting a service by its transport writes that service's name.
  options.service_flag = TALVEX_SERVICE_GSM;
  ASSERT_EQ(m_.ChangeXMLGenericConfigurations(&options, TALVEX_OPT_SELECTEDSERVICE), 1);
  TalvexGenericOptions again{};
  ASSERT_EQ(m_.LoadGSMGenericXMLConfigurations(&again), 1);
  EXPECT_EQ(again.maxsmssplit, 5);
  EXPECT_STREQ(again.selectedservice, "GSM modem lines");
  EXPECT_EQ(again.service_flag, TALVEX_SERVICE_GSM);
}

TEST_F(ModuleTest, LegacyModemSettingsAndLinesWorkThroughTheExports) {
  ASSERT_EQ(m_.InitXMLConfigurations("qvsmscomms.xml", "sms"), 1);
  TalvexLegacyModemSettings legacy{};
  ASSERT_EQ(m_.LoadGSMServiceXMLConfigurations(TALVEX_SERVICE_LEGACY_MODEM, &legacy, 0), 1);
  EXPECT_EQ(legacy.comport, 1u);
  EXPECT_EQ(legacy.baudrate, 115200u);

  TalvexLineRecordList* list = nullptr;
  ASSERT_EQ(m_.LoadGSMServiceXMLConfigurations(TALVEX_SERVICE_GSM, &list, 0), 1);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->count, 1u);
  EXPECT_EQ(list->lines[0]->comport, 1u);
  EXPECT_EQ(list->lines[0]->line_enabled, 0) << "the example line is disabled";

  TalvexLineRecord line = *list->lines[0];
  line.comport = 4;
  std::memcpy(line.line_name, u"Second", sizeof u"Second");
  ASSERT_EQ(m_.XMLConfigMultiLine_CreateNewLine(TALVEX_SERVICE_GSM, &line), 1);
  ASSERT_EQ(m_.LoadGSMServiceXMLConfigurations(TALVEX_SERVICE_GSM, &list, 0), 1);
  ASSERT_EQ(list->count, 2u);
  EXPECT_EQ(list->lines[1]->comport, 4u);
  EXPECT_EQ(std::u16string(list->lines[1]->line_name), u"Second");

  // One line's properties change through the settings export; the other line keeps its own.
  TalvexLineRecord change = *list->lines[1];
  std::memcpy(change.line_name, u"Renamed", sizeof u"Renamed");
  change.baudrate = 9600;
  ASSERT_EQ(m_.ChangeXMLConfigurations(TALVEX_SERVICE_GSM, &change, TALVEX_LINE_NAME | TALVEX_LINE_BAUDRATE), 1);
  ASSERT_EQ(m_.LoadGSMServiceXMLConfigurations(TALVEX_SERVICE_GSM, &list, 0), 1);
  EXPECT_EQ(std::u16string(list->lines[1]->line_name), u"Renamed");
  EXPECT_EQ(list->lines[1]->baudrate, 9600u);
  EXPECT_EQ(std::u16string(list->lines[0]->line_name), u"Example modem");
  EXPECT_EQ(list->lines[0]->baudrate, 115200u);

  ASSERT_EQ(m_.XMLConfigMultiLine_DeleteLine(TALVEX_SERVICE_GSM, 4), 1);
  EXPECT_EQ(folder_.Read("qvsmscomms.xml"), original_) << "adding and removing a line leaves the file as it was";
  EXPECT_EQ(m_.XMLConfigMultiLine_DeleteLine(TALVEX_SERVICE_GSM, 4), 0);
  m_.FreeXMLLoadResources(&list, TALVEX_SERVICE_GSM);
  EXPECT_EQ(list, nullptr);
}

TEST_F(ModuleTest, BadFilesAndArgumentsFailWithTheReasonInTheLog) {
  std::string long_path(300, 'p');
  EXPECT_EQ(m_.InitXMLConfigurations(long_path.c_str(), "sms"), 0);
  TalvexGenericOptions options{};
  EXPECT_EQ(m_.LoadGSMGenericXMLConfigurations(&options), 0);

  folder_.Write("broken.xml", "<vantrelcomms>\n  <sms>\n    <config>\n  </sms>\n");
  ASSERT_EQ(m_.InitXMLConfigurations("broken.xml", "sms"), 1) << "the file is not read yet";
  EXPECT_EQ(m_.LoadGSMGenericXMLConfigurations(&options), 0);
  TalvexLegacyModemSettings legacy{};
  EXPECT_EQ(m_.LoadGSMServiceXMLConfigurations(TALVEX_SERVICE_LEGACY_MODEM, &legacy, 0), 0);
  m_.Unint();
  std::string log = Log();
  EXPECT_NE(log.find("XMLParser::loadconfiguration - IXMLDOMDocument.load(broken.xml) failed."), std::string::npos);
  EXPECT_NE(log.find("Parsing error on line 4 position 5 : Start-end tags mismatch"), std::string::npos) << log;
  EXPECT_NE(log.find("-> LoadGSMGenericConfigurations _ Failed"), std::string::npos);
}

}  // namespace
}  // namespace talvenix
