// SPDX-License-Identifier: Apache-2.0
// The SOAP library belongs to the SOAP gateway alone: a copy of the module
// without it beside loads and keeps the settings exports, and only that
// gateway's start fails, with a line naming the library; once the library
// is put beside the module, the same loaded module starts the gateway.
// This program links no SOAP code, so nothing else provides it.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "common/temp_folder.hpp"
#include "host/module.hpp"

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

TEST(SoapLibrary, TheModuleRunsWithoutItAndOnlyTheSoapGatewayWaitsForIt) {
  namespace fs = std::filesystem;
  TempFolder folder("soap-library");
  const fs::path module_folder = folder.path() / "module";
  fs::create_directory(module_folder);
  const fs::path module = module_folder / fs::path(TALVENIX_MODULE_PATH).filename();
  fs::copy_file(TALVENIX_MODULE_PATH, module);
  folder.Write("qvsmscomms.xml", kDocument);
  WorkingFolder inside(folder.path());
  host::Module m = host::Module::Load(module.string().c_str());

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

}  // namespace
}  // namespace talvenix::testing
