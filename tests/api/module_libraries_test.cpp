// SPDX-License-Identifier: Apache-2.0
// The libraries that belong to the module come from beside it and nowhere
// else, each loaded only by the gateway that needs it. A copy of the module
// in a folder of its own is loaded as a host loads it; this program links no
// SOAP code and has no driver beside it, so nothing else provides them.
//
// The SOAP library: without it beside, the module loads and keeps the
// settings exports, and only the SOAP gateway's start fails, with a line
// naming the library; once it is put there, the same loaded module starts
// that gateway. The GSM driver: a file of its name in the host's working
// folder is never taken.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "common/temp_folder.hpp"
#include "gateways/modem/gsm_document.hpp"
#include "hostkit/module.hpp"
#include "talvenix/gsm_driver.h"

namespace talvenix::testing {
namespace {

int32_t TALVEX_CALL Ignore(int32_t, int32_t, uint32_t, uintptr_t, void*, uint32_t) { return 0; }

// The endpoint refuses connections: a send fails in the SOAP client itself.
constexpr const char* kDocument =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<vantrelcomms><sms><config>"
    "<option name=\"enableengine\" value=\"yes\"/><option name=\"selectedservice\" value=\"MM\"/>"
    "</config><services><service name=\"MM\" transport=\"messagemediaservice\" signupurl=\"https://sign.up/\" "
    "endpoint=\"http://127.0.0.1:1/\">"
    "<properties><property id=\"[username]\" name=\"User ID\" value=\"user\"/>"
    "<property id=\"[password]\" name=\"Password\" value=\"secret\"/>"
    "<property id=\"[receivepollinterval]\" name=\"Poll Interval\" value=\"60\"/>"
    "</properties></service></services></sms></vantrelcomms>\n";

namespace fs = std::filesystem;

// A copy of the module in `folder`/module/, loaded.
host::Module LoadCopyOfTheModule(const TempFolder& folder) {
  const fs::path module_folder = folder.path() / "module";
  fs::create_directory(module_folder);
  const fs::path module = module_folder / fs::path(TALVENIX_MODULE_PATH).filename();
  fs::copy_file(TALVENIX_MODULE_PATH, module);
  return host::Module::Load(module.string().c_str());
}

TEST(ModuleLibraries, TheModuleRunsWithoutTheSoapLibraryAndOnlyTheSoapGatewayWaitsForIt) {
  TempFolder folder("soap-library");
  host::Module m = LoadCopyOfTheModule(folder);
  const fs::path module_folder = folder.path() / "module";
  folder.Write("qvsmscomms.xml", kDocument);
  WorkingFolder inside(folder.path());

  TalvexGenericOptions* options = nullptr;
  EXPECT_NE(m.InitTalvex(0, Ignore, &options), TALVEX_OK);
  m.Unint();
  const std::string library = fs::path(TALVENIX_SOAP_LIBRARY_PATH).filename().string();
  std::string log = folder.Read("Talvenix.log");
  EXPECT_NE(log.find("the SOAP client is missing: cannot load "), std::string::npos) << log;
  EXPECT_NE(log.find(library), std::string::npos) << log;
  // The settings of the same gateway need no SOAP code.
  ASSERT_EQ(m.InitXMLConfigurations("qvsmscomms.xml", "sms"), 1);
  auto block = std::make_unique<TalvexMessageMediaSettings>();
  EXPECT_EQ(m.LoadGSMServiceXMLConfigurations(TALVEX_SERVICE_MESSAGEMEDIA, block.get(), 0), 1);
  EXPECT_EQ(std::u16string(block->username), u"user");

  fs::copy_file(TALVENIX_SOAP_LIBRARY_PATH, module_folder / library);
  ASSERT_EQ(m.InitTalvex(0, Ignore, &options), TALVEX_OK) << folder.Read("Talvenix.log");
  char16_t text[16] = u"hello";
  TalvexSmsRequest request{};
  request.text = text;
  request.text_capacity = 16;
  request.recipient = "+61400000009";
  EXPECT_EQ(m.SendSMS(&request), TALVEX_FAILED);  // nobody listens at the endpoint
  m.Unint();
  log = folder.Read("Talvenix.log");
  EXPECT_NE(log.find("MessageMediaServiceAPIWrapper::SendMessage - SOAP error"), std::string::npos) << log;
}

TEST(ModuleLibraries, ADriverPlantedInTheWorkingFolderIsNeverLoaded) {
  TempFolder folder("planted-driver");
  host::Module m = LoadCopyOfTheModule(folder);
  // A complete driver (the simulator) under the driver's name, where the host works.
  fs::copy_file(TALVENIX_GSMSIM_PATH, folder.path() / TALVEX_GSM_DRIVER_FILE);
  folder.Write("qvsmscomms.xml", GsmDocument({DocumentLine(3)}));
  WorkingFolder inside(folder.path());
  TalvexGenericOptions* options = nullptr;
  EXPECT_NE(m.InitTalvex(0, Ignore, &options), TALVEX_OK);
  m.Unint();
  const std::string log = folder.Read("Talvenix.log");
  EXPECT_NE(log.find("GSMComDrv::init - failed to load GSM interface"), std::string::npos) << log;
  // The file looked for is the one beside the module.
  EXPECT_NE(log.find((fs::path("module") / TALVEX_GSM_DRIVER_FILE).string()), std::string::npos) << log;
}

}  // namespace
}  // namespace talvenix::testing
