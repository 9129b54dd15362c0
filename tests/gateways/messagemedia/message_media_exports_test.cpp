// SPDX-License-Identifier: Apache-2.0
// The gateway through the real module (dlopen, as a host loads it): the
// engine sends through it, and the settings exports of flag 7 round trip.

#include "hostkit/module.hpp"
#include "message_media_fixture.hpp"

namespace talvenix::testing {
namespace {

int32_t TALVEX_CALL Ignore(int32_t, int32_t, uint32_t, uintptr_t, void*, uint32_t) { return 0; }

TEST(MessageMediaExports, EngineSendsAndSettingsRoundTrip) {
  SoapPeer peer;
  TempFolder folder("messagemedia-exports");
  folder.Write("qvsmscomms.xml", MessageMediaDocument(peer.url()));
  WorkingFolder inside(folder.path());
  host::Module& m = host::Module::Get();

  TalvexGenericOptions* options = nullptr;
  ASSERT_EQ(m.InitTalvex(0, Ignore, &options), TALVEX_OK);
  EXPECT_EQ(options->service_flag, TALVEX_SERVICE_MESSAGEMEDIA);
  char16_t text[64] = u"caf\u00e9 \u4f60\u597d";
  TalvexSmsRequest request{};
  request.text = text;
  request.text_capacity = 64;
  request.recipient = "+61400000009";
  EXPECT_EQ(m.SendSMS(&request), TALVEX_OK);
  m.Unint();
  ASSERT_EQ(peer.sent().size(), 1u);
  EXPECT_EQ(peer.sent()[0].content, "caf\xC3\xA9 \xE4\xBD\xA0\xE5\xA5\xBD");

  ASSERT_EQ(m.InitXMLConfigurations("qvsmscomms.xml", "sms"), 1);
  auto block = std::make_unique<TalvexMessageMediaSettings>();
  ASSERT_EQ(m.LoadGSMServiceXMLConfigurations(TALVEX_SERVICE_MESSAGEMEDIA, block.get(), 0), 1);
  EXPECT_EQ(std::u16string(block->username), u"user-\u00fc");
  CopyBounded(block->username, 1000, u"new-user");
  ASSERT_EQ(m.ChangeXMLConfigurations(TALVEX_SERVICE_MESSAGEMEDIA, block.get(), TALVEX_MM_USERNAME), 1);
  auto again = std::make_unique<TalvexMessageMediaSettings>();
  ASSERT_EQ(m.LoadGSMServiceXMLConfigurations(TALVEX_SERVICE_MESSAGEMEDIA, again.get(), 0), 1);
  EXPECT_EQ(std::u16string(again->username), u"new-user");
  EXPECT_EQ(std::u16string(again->password), u"Pa55-w0rd-secret");
  m.Unint();
  EXPECT_EQ(folder.Read("Talvenix.log").find("Pa55-w0rd-secret"), std::string::npos);
}

}  // namespace
}  // namespace talvenix::testing
