// SPDX-License-Identifier: Apache-2.0
// The exports as a host sees them: argument checks and the two states, with
// the module loaded through dlopen.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

#include "common/temp_folder.hpp"
#include "hostkit/module.hpp"

namespace talvenix::testing {
namespace {

using host::Module;

// A path as a host in this system's ANSI code page spells it.
std::string HostCodePage(const std::filesystem::path& path) {
#ifdef _WIN32
  const std::wstring wide = path.wstring();
  int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
  return out;
#else
  const std::u8string utf8 = path.u8string();
  return std::string(utf8.begin(), utf8.end());
#endif
}

int32_t Ignore(int32_t, int32_t, uint32_t, uintptr_t, void*, uint32_t) { return 0; }

class ExportsWithoutConfiguration : public ::testing::Test {
 protected:
  void SetUp() override { m.Unint(); }
  void TearDown() override {
    m.Unint();
    m.Unint();
  }
  Module& m = Module::Get();
  TempFolder folder{"exports-state"};
  WorkingFolder cwd{folder.path()};
};

TEST_F(ExportsWithoutConfiguration, EngineExportsCheckStateAndArguments) {
  TalvexGenericOptions* options = nullptr;
  EXPECT_EQ(m.InitTalvex(0, nullptr, &options), TALVEX_FAILED);
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "Talvenix.log"));  // not even opened

  TalvexSmsRequest request{};
  EXPECT_EQ(m.SendSMS(&request), TALVEX_NOT_INITIALISED);
  EXPECT_EQ(m.SendSMS(nullptr), TALVEX_NOT_INITIALISED);

  TalvexGenericOptions record{};
  TalvexGenericOptions* in_out = &record;
  TalvexGenericOptions* null_record = nullptr;
  uint32_t mask = 0;
  EXPECT_EQ(m.Update(nullptr, 1, 1, &in_out), TALVEX_INVALID_PARAMETER);
  EXPECT_EQ(m.Update(&mask, 0, 1, &in_out), TALVEX_INVALID_PARAMETER);
  EXPECT_EQ(m.Update(&mask, 1, 0, &in_out), TALVEX_INVALID_PARAMETER);
  EXPECT_EQ(m.Update(&mask, 1, 1, nullptr), TALVEX_INVALID_PARAMETER);
  EXPECT_EQ(m.Update(&mask, 1, 1, &null_record), TALVEX_INVALID_PARAMETER);
  EXPECT_EQ(mask, 0u);
}

TEST_F(ExportsWithoutConfiguration, MissingDocumentFailsTheStartAndCanBeRetried) {
  setenv("TALVENIX_LOG_LEVEL", "3", 1);  // information and warnings too
  TalvexGenericOptions* options = reinterpret_cast<TalvexGenericOptions*>(0x10);
  EXPECT_EQ(m.InitTalvex(0, Ignore, &options), TALVEX_FAILED);
  EXPECT_EQ(options, nullptr);
  TalvexSmsRequest request{};
  EXPECT_EQ(m.SendSMS(&request), TALVEX_NOT_INITIALISED);
  EXPECT_EQ(m.InitTalvex(0, Ignore, &options), TALVEX_FAILED);  // retried, same answer
  m.Unint();
  unsetenv("TALVENIX_LOG_LEVEL");
  std::string log = folder.Read("Talvenix.log");
  EXPECT_NE(log.find("_____ SMS Engine Initializing _____"), std::string::npos);
  EXPECT_NE(log.find("SMSEngine::Initialize - failed."), std::string::npos);
}

TEST_F(ExportsWithoutConfiguration, ConfigurationExportsAnswerZeroUntilInitialised) {
  TalvexGenericOptions options{};
  TalvexLegacyModemSettings legacy{};
  TalvexLineRecord line{};
  EXPECT_EQ(m.LoadGSMGenericXMLConfigurations(&options), 0);
  EXPECT_EQ(m.ChangeXMLGenericConfigurations(&options, TALVEX_OPT_ALL), 0);
  EXPECT_EQ(m.ChangeXMLConfigurations(1, &line, 1), 0);
  EXPECT_EQ(m.LoadGSMServiceXMLConfigurations(5, &legacy, 0), 0);
  EXPECT_EQ(m.XMLConfigMultiLine_CreateNewLine(1, &line), 0);
  EXPECT_EQ(m.XMLConfigMultiLine_DeleteLine(1, 1), 0);
  m.FreeXMLLoadResources(&options, 1);  // nothing to free, nothing happens
}

TEST_F(ExportsWithoutConfiguration, OverlongPathOrRootIsRefusedNotCut) {
  EXPECT_EQ(m.InitXMLConfigurations(nullptr, "sms"), 0);
  EXPECT_EQ(m.InitXMLConfigurations("qvsmscomms.xml", nullptr), 0);
  std::string path(260, 'p');
  EXPECT_EQ(m.InitXMLConfigurations(path.c_str(), "sms"), 0);
  EXPECT_EQ(m.InitXMLConfigurations("qvsmscomms.xml", std::string(63, 'r').c_str()), 0);
  TalvexGenericOptions options{};
  EXPECT_EQ(m.LoadGSMGenericXMLConfigurations(&options), 0);  // still not initialised
  m.Unint();
  EXPECT_NE(folder.Read("Talvenix.log").find("path or root name too long"), std::string::npos);
}

// The host names files in its ANSI code page, as Windows programs do: a
// folder whose name is not ASCII is found under the bytes the host spells it
// with (UTF-8 on POSIX, the active code page on Windows).
TEST_F(ExportsWithoutConfiguration, APathInTheHostsCodePageNamesTheFolderItSpells) {
  const std::filesystem::path inner = folder.path() / std::filesystem::path(u"Soci\u00e9t\u00e9 Caf\u00e9");
  std::filesystem::create_directory(inner);
  std::filesystem::copy_file(std::string(TALVENIX_SOURCE_DIR) + "/examples/qvsmscomms.xml", inner / "qvsmscomms.xml");
  const std::string path = HostCodePage(inner / "qvsmscomms.xml");
  ASSERT_EQ(m.InitXMLConfigurations(path.c_str(), "sms"), 1);
  TalvexGenericOptions options{};
  EXPECT_EQ(m.LoadGSMGenericXMLConfigurations(&options), 1);
  EXPECT_STREQ(options.transport_id, "nuldrv");
}

// The settings exports over the bundled document.
class SettingsExports : public ExportsWithoutConfiguration {
 protected:
  void SetUp() override {
    ExportsWithoutConfiguration::SetUp();
    std::filesystem::copy_file(std::string(TALVENIX_SOURCE_DIR) + "/examples/qvsmscomms.xml",
                               folder.path() / "qvsmscomms.xml");
    setenv("TALVENIX_LOG_LEVEL", "3", 1);
    ASSERT_EQ(m.InitXMLConfigurations("qvsmscomms.xml", "sms"), 1);
  }
  void TearDown() override {
    unsetenv("TALVENIX_LOG_LEVEL");
    ExportsWithoutConfiguration::TearDown();
  }
  bool Logged(const std::string& text) { return folder.Read("Talvenix.log").find(text) != std::string::npos; }
};

TEST_F(SettingsExports, FlagsWithoutTheOperationAreRefusedAndNamedInTheLog) {
  TalvexLineRecord line{};
  TalvexLegacyModemSettings legacy{};
  EXPECT_EQ(m.ChangeXMLConfigurations(0, &line, 1), 0);
  EXPECT_EQ(m.ChangeXMLConfigurations(5, &legacy, 1), 0);
  EXPECT_EQ(m.LoadGSMServiceXMLConfigurations(0, &line, 0), 0);
  EXPECT_EQ(m.XMLConfigMultiLine_CreateNewLine(2, &line), 0);
  EXPECT_EQ(m.XMLConfigMultiLine_DeleteLine(2, 1), 0);
  m.FreeXMLLoadResources(&line, 2);

  // Flag 5 reads the older modem settings; its selector changes nothing.
  EXPECT_EQ(m.LoadGSMServiceXMLConfigurations(5, &legacy, 1), 1);
  EXPECT_EQ(legacy.comport, 1u);
  m.Unint();
  EXPECT_TRUE(Logged("-> ChangeXMLConfigurations - Invalid GSM Service Flag [0]"));
  EXPECT_TRUE(Logged("-> ChangeXMLConfigurations - Invalid GSM Service Flag [5]"));
  EXPECT_TRUE(Logged("-> LoadGSMServiceXMLConfigurations - Invalid GSM Service Flag [0]"));
  EXPECT_TRUE(Logged(
      "-> XMLConfigMultiLine_CreateNewLine - Invalid GSM Service Flag [2], Srv MUST SUPPORT Multiline Interface."));
  EXPECT_TRUE(
      Logged("-> XMLConfigMultiLine_DeleteLine - Invalid GSM Service Flag [2], Srv MUST SUPPORT Multiline Interface."));
  EXPECT_TRUE(Logged("-> FreeXMLLoadResources _ Onvalid Service specfied."));
  EXPECT_EQ(line.comport, 0u);  // the refused calls wrote nothing
}

TEST_F(SettingsExports, UnintWithBothStatesReleasesTheEngineFirstAndTheSettingsNext) {
  TalvexGenericOptions* options = nullptr;
  ASSERT_EQ(m.InitTalvex(0, Ignore, &options), TALVEX_OK);
  m.Unint();
  TalvexSmsRequest request{};
  EXPECT_EQ(m.SendSMS(&request), TALVEX_NOT_INITIALISED);
  TalvexGenericOptions record{};
  EXPECT_EQ(m.LoadGSMGenericXMLConfigurations(&record), 1);  // the settings state stays
  EXPECT_STREQ(record.selectedservice, "Null gateway");
  record.maxsmssplit = 4;
  EXPECT_EQ(m.ChangeXMLGenericConfigurations(&record, TALVEX_OPT_MAXSMSSPLIT), 1);
  m.Unint();
  EXPECT_EQ(m.LoadGSMGenericXMLConfigurations(&record), 0);
  EXPECT_NE(folder.Read("qvsmscomms.xml").find("name=\"maxsmssplit\" value=\"4\""), std::string::npos);
}

TEST_F(ExportsWithoutConfiguration, UnknownCommandIsAnInvalidParameter) {
  EXPECT_EQ(m.ExecuteCommand(3, nullptr, 0), TALVEX_INVALID_PARAMETER);
  EXPECT_EQ(m.ExecuteCommand(0xFFFFFFFF, nullptr, 0), TALVEX_INVALID_PARAMETER);
}

}  // namespace
}  // namespace talvenix::testing
