// SPDX-License-Identifier: Apache-2.0
// Starting, updating and stopping the engine, with the log lines a user sees.

#include <gtest/gtest.h>

#include "engine/engine_fixture.hpp"
#include "engine/generic_options.hpp"

namespace talvenix::testing {
namespace {

int32_t Callback(int32_t, int32_t, uint32_t, uintptr_t, void*, uint32_t) { return 0; }

class EngineLifecycle : public ::testing::Test {
 protected:
  int32_t Init() { return engine.Initialize(7, Callback, &options, "qvsmscomms.xml", "sms"); }

  RecordingLogger log;
  FakeDocument doc;
  TestEngine engine{&log, &doc};
  TalvexGenericOptions* options = reinterpret_cast<TalvexGenericOptions*>(0x1);  // must be overwritten
};

TEST_F(EngineLifecycle, StartsTheSelectedGatewayAndPublishesItsOptions) {
  ASSERT_EQ(Init(), TALVEX_OK);
  ASSERT_NE(options, nullptr);
  EXPECT_EQ(options->service_flag, TALVEX_SERVICE_NULL);
  EXPECT_STREQ(options->transport_id, "nuldrv");
  EXPECT_STREQ(options->selectedservice, "Fake");
  EXPECT_EQ(options->maxsmschars, 160);
  EXPECT_STREQ(options->infotype, "display");  // defaults of the optional rows
  EXPECT_STREQ(options->position, "after");
  EXPECT_EQ(options->smsautoroute_ttl, 300);
  EXPECT_EQ(options->multi_line, 0u);
  EXPECT_EQ(engine.gateway->loads, 1);
  EXPECT_TRUE(engine.gateway->IsServiceInitialized());
  EXPECT_EQ(Init(), TALVEX_ALREADY_INITIALISED);
}

TEST_F(EngineLifecycle, NullArgumentsAreInvalid) {
  EXPECT_EQ(engine.Initialize(0, Callback, &options, nullptr, "sms"), TALVEX_INVALID_PARAMETER);
  EXPECT_EQ(engine.Initialize(0, Callback, &options, "x", nullptr), TALVEX_INVALID_PARAMETER);
}

TEST_F(EngineLifecycle, FailuresAreLoggedAndLeaveNothingHeld) {
  engine.fail_loader = true;
  EXPECT_EQ(Init(), TALVEX_FAILED);
  EXPECT_EQ(options, nullptr);
  EXPECT_TRUE(log.Has(Severity::Error, "GSMEngine::Initialize - Failed to create Config Loader."));

  engine.fail_loader = false;
  doc.reload_ok = false;
  EXPECT_EQ(Init(), TALVEX_FAILED);
  EXPECT_TRUE(
      log.Has(Severity::Error,
              "GSMEngine::Initialize - Failed to load configurations from path [qvsmscomms.xml] and root [sms]"));

  doc.reload_ok = true;
  doc.options.erase("selectedservice");  // required
  EXPECT_EQ(Init(), TALVEX_FAILED);
  EXPECT_TRUE(log.Has(Severity::Error, "GenericGSMService::LoadGenericXMLConfigs - Failed."));
  EXPECT_TRUE(log.Has(Severity::Error, "GSMEngine::Initialize - LoadGenericXMLConfigs - Failed."));

  doc.options["selectedservice"] = "Unknown";
  EXPECT_EQ(Init(), TALVEX_FAILED);
  EXPECT_TRUE(log.HasText("GenericGSMService::LoadGenericXMLConfigs - Failed to load service ID from [Unknown]"));

  // A transport id that names no gateway class: loads, but the factory refuses it.
  doc.options["selectedservice"] = "Old";
  doc.transports["Old"] = "gennsm5";
  EXPECT_EQ(Init(), TALVEX_FAILED);
  EXPECT_EQ(engine.last_flag, TALVEX_SERVICE_RESERVED);
  EXPECT_TRUE(log.HasText("GSMEngine::LoadEngineConfigurations - Error. selected service flag is invalid/empty."));
  EXPECT_TRUE(log.HasText("GSMEngine::Initialize - FactoryConstructGSMService - Failed."));
  EXPECT_FALSE(engine.IsInitialized());

  // After every failure a good configuration still starts: nothing was left behind.
  doc.options["selectedservice"] = "Fake";
  EXPECT_EQ(Init(), TALVEX_OK);
}

TEST_F(EngineLifecycle, GatewayThatCannotLoadOrStartFailsTheStart) {
  engine.load_result = 0;
  EXPECT_EQ(Init(), TALVEX_FAILED);
  const std::string message =
      "GSMEngine::Initialize - Error. failed to load service specfic configuration details from xml ...(Srv: Recording "
      "Gateway)";
  EXPECT_TRUE(log.Has(Severity::Error, message));
  engine.load_result = 1;
  engine.init_result = 0;
  log.Clear();
  EXPECT_EQ(Init(), TALVEX_FAILED);
  EXPECT_TRUE(log.Has(Severity::Error, message));
}

TEST_F(EngineLifecycle, DisabledEnginePublishesOptionsButDoesNotRun) {
  doc.options["enableengine"] = "no";
  EXPECT_EQ(Init(), TALVEX_ENGINE_DISABLED);
  ASSERT_NE(options, nullptr);
  EXPECT_EQ(options->enableengine, 0);
  EXPECT_TRUE(log.Has(Severity::Warning, "GSMEngine::Initialize - SMS Engine Disabled."));
  HostRequest r(u"x");
  EXPECT_EQ(engine.SendSMS(r.request.get()), TALVEX_NOT_INITIALISED);
}

TEST_F(EngineLifecycle, UninitializeStopsTheGatewayOnce) {
  ASSERT_EQ(Init(), TALVEX_OK);
  engine.Uninitialize();
  engine.Uninitialize();
  EXPECT_FALSE(engine.IsInitialized());
  EXPECT_TRUE(log.HasText("GSMEngine::Uninitialize."));
  EXPECT_EQ(Init(), TALVEX_OK);  // and can start again
}

class EngineUpdate : public EngineLifecycle {
 protected:
  void SetUp() override { ASSERT_EQ(Init(), TALVEX_OK); }
  int32_t Update() { return engine.Update(&mask, 5, 9, &options); }
  uint32_t mask = 0;
};

TEST_F(EngineUpdate, ChangedOptionsAreTakenOverAndTheGatewayReloads) {
  doc.options["maxsmschars"] = "140";
  doc.options["append/position"] = "before";
  mask = 0x80000000;  // bits are only ever added
  EXPECT_EQ(Update(), TALVEX_UPDATE_APPLIED);
  EXPECT_EQ(mask, 0x80000000u | TALVEX_OPT_MAXSMSCHARS | TALVEX_OPT_POSITION);
  EXPECT_EQ(options->maxsmschars, 140);
  EXPECT_STREQ(options->position, "before");
  EXPECT_EQ(engine.gateway->loads, 2);
  EXPECT_EQ(engine.gateway->updates, 0);
}

TEST_F(EngineUpdate, GatewaysThatApplyChangesThemselvesGetValuesBThenA) {
  engine.Uninitialize();
  engine.capabilities = kCapAppliesUpdates;
  ASSERT_EQ(Init(), TALVEX_OK);
  EXPECT_EQ(Update(), TALVEX_UPDATE_APPLIED);
  EXPECT_EQ(engine.gateway->updates, 1);
  EXPECT_EQ(engine.gateway->update_values, std::make_pair(5u, 9u));
  engine.gateway->update_result = 0;
  EXPECT_EQ(Update(), TALVEX_FAILED);
  EXPECT_TRUE(log.Has(Severity::Error, "GSMEngine::Update - (Recording Gateway)->UpdateConfigs Failed"));
}

TEST_F(EngineUpdate, ServiceOrEngineChangeAsksForARestart) {
  doc.options["selectedservice"] = "Other";
  doc.transports["Other"] = "gensmtp";
  doc.options["splitsms"] = "no";
  EXPECT_EQ(Update(), TALVEX_UPDATE_RESTART);
  EXPECT_EQ(mask, uint32_t{TALVEX_OPT_SELECTEDSERVICE | TALVEX_OPT_SPLITSMS});
  EXPECT_EQ(options->splitsms, 1);  // nothing taken over
  EXPECT_EQ(engine.gateway->loads, 1);

  mask = 0;
  doc.options["selectedservice"] = "Fake";
  doc.options["enableengine"] = "no";
  EXPECT_EQ(Update(), TALVEX_UPDATE_RESTART);
  EXPECT_EQ(mask, uint32_t{TALVEX_OPT_ENABLEENGINE | TALVEX_OPT_SPLITSMS});
}

TEST_F(EngineUpdate, EachOptionReportsItsOwnMaskBit) {
  const std::pair<const char*, uint32_t> changes[] = {
      {"append", TALVEX_OPT_APPEND},
      {"detectsignature", TALVEX_OPT_DETECTSIGNATURE},
      {"automaticrouting", TALVEX_OPT_AUTOMATICROUTING},
      {"smsautoroute_ttl", TALVEX_OPT_SMSAUTOROUTE_TTL},
      {"disableunicode", TALVEX_OPT_DISABLEUNICODE},
      {"append/infotype", TALVEX_OPT_INFOTYPE},
  };
  const std::map<std::string, std::string> changed_values = {{"append", "yes"},          {"detectsignature", "yes"},
                                                             {"automaticrouting", "no"}, {"smsautoroute_ttl", "60"},
                                                             {"disableunicode", "1"},    {"append/infotype", "hidden"}};
  for (const auto& [option, bit] : changes) {
    SCOPED_TRACE(option);
    FakeDocument before = doc;
    doc.options[option] = changed_values.at(option);
    mask = 0;
    EXPECT_EQ(Update(), TALVEX_UPDATE_APPLIED);
    EXPECT_EQ(mask, bit);
    mask = 0;
    EXPECT_EQ(Update(), TALVEX_UPDATE_APPLIED);  // taken over: no change the second time
    EXPECT_EQ(mask, 0u);
    doc = before;
    Update();
  }
}

TEST_F(EngineUpdate, NotRunningReportsChangesButAppliesNothing) {
  engine.Uninitialize();
  doc.options["maxsmssplit"] = "5";
  EXPECT_EQ(Update(), TALVEX_UPDATE_NOT_APPLIED);
  EXPECT_EQ(mask, uint32_t{TALVEX_OPT_MAXSMSSPLIT});
}

TEST_F(EngineUpdate, LoaderFailuresReturnOne) {
  doc.options.erase("enableengine");
  EXPECT_EQ(Update(), TALVEX_FAILED);
  EXPECT_TRUE(log.Has(Severity::Error, "GSMEngine::Update - Error: failed to load global configuration flags."));
  engine.fail_loader = true;
  EXPECT_EQ(Update(), TALVEX_FAILED);
  EXPECT_TRUE(log.Has(Severity::Error, "GSMEngine::Update - Error: failed to create configuration loader."));
  EXPECT_EQ(mask, 0u);
}

TEST(EngineLegacySettings, ReadsTheFourModemPropertiesOfTheGsmService) {
  RecordingLogger log;
  GSMEngine engine(&log);
  ::testing::NiceMock<MockLoader> loader;
  TalvexLegacyModemSettings settings{};
  settings.comport = 99;
  EXPECT_CALL(loader, LoadServiceConfigs(::testing::_, ::testing::_, 0))
      .WillOnce([&](const char16_t* id, ConfigTable* table, int) {
        EXPECT_EQ(std::u16string(id), u"simple_gsm");
        EXPECT_EQ(settings.comport, 0u);  // zeroed before the load
        std::vector<std::u16string> ids;
        for (auto& row : *table) ids.push_back(row.id);
        EXPECT_EQ(ids, (std::vector<std::u16string>{u"[comport]", u"[baudrate]", u"[initstr]", u"[smsc]"}));
        EXPECT_EQ((*table)[0].optional, 0);
        EXPECT_EQ((*table)[2].size, 511);
        *static_cast<int32_t*>((*table)[0].destination) = 3;
        CopyBounded(static_cast<char16_t*>((*table)[3].destination), 511, u"+4479");
        return 1;
      });
  EXPECT_EQ(engine.ConfigLoadOldSettings(&settings, &loader), 1);
  EXPECT_EQ(settings.comport, 3u);
  EXPECT_EQ(std::u16string(settings.smsc), u"+4479");

  EXPECT_EQ(engine.ConfigLoadOldSettings(nullptr, &loader), 0);
  EXPECT_TRUE(log.Has(Severity::Error, "GSMEngine::ConfigLoadOldSettings: Invalid Parameter(s)"));
}

}  // namespace
}  // namespace talvenix::testing
