// SPDX-License-Identifier: Apache-2.0
// Global options through the loader: transport id matching and the rows
// that an update writes.

#include <gtest/gtest.h>

#include "config/loader_fixture.hpp"
#include "engine/engine_fixture.hpp"
#include "engine/generic_options.hpp"
#include "gateways/catalog/catalog.hpp"

namespace talvenix::testing {
namespace {

using ::testing::_;

TEST(TransportIds, FirstContainedTextInSearchOrderWins) {
  EXPECT_EQ(ServiceFlagOfTransportId("simple_gsm"), 1u);
  EXPECT_EQ(ServiceFlagOfTransportId("my_simple_gsm_v2"), 1u);
  EXPECT_EQ(ServiceFlagOfTransportId("gensmtp+clickatellapi"), 2u);
  EXPECT_EQ(ServiceFlagOfTransportId("gennsm5"), 3u);
  EXPECT_EQ(ServiceFlagOfTransportId("NULDRV"), 6u);  // case-sensitive
  EXPECT_EQ(ServiceFlagOfTransportId(""), 6u);
  EXPECT_EQ(ServiceFlagOfTransportId(nullptr), 6u);
  for (uint32_t flag : {0u, 1u, 2u, 4u, 7u, 8u}) EXPECT_EQ(ServiceFlagOfTransportId(TransportIdOf(flag)), flag);
  for (uint32_t flag : {3u, 5u, 6u, 9u}) EXPECT_EQ(TransportIdOf(flag), nullptr);
}

class GenericOptions : public ::testing::Test {
 protected:
  RecordingLogger log;
  FakeDocument doc;
  OptionsRecord record;
};

TEST_F(GenericOptions, LoadFillsDefaultsAndResolvesTheService) {
  doc.options["maxsmschars"] = "0";
  doc.transports["Fake"] = "xx_multitechisms";
  auto loader = MakeLoader(doc, &log);
  ASSERT_EQ(LoadGenericXMLConfigs(record.get(), loader.get()), 1);
  EXPECT_EQ(record.get()->maxsmschars, 160);  // a stored 0 becomes 160
  EXPECT_EQ(record.get()->service_flag, 8u);
  EXPECT_EQ(record.get()->automaticrouting, 1);
  EXPECT_EQ(record.get()->append, 0);
}

TEST_F(GenericOptions, UnknownTransportIdFailsWithFlagSix) {
  doc.transports["Fake"] = "carrier_pigeon";
  auto loader = MakeLoader(doc, &log);
  EXPECT_EQ(LoadGenericXMLConfigs(record.get(), loader.get()), 0);
  EXPECT_EQ(record.get()->service_flag, 6u);
  EXPECT_TRUE(
      log.Has(Severity::Error, "GenericGSMService::LoadGenericXMLConfigs - Invalid Service ID [carrier_pigeon]"));
  EXPECT_EQ(LoadGenericXMLConfigs(nullptr, loader.get()), 0);
  EXPECT_EQ(LoadGenericXMLConfigs(record.get(), nullptr), 0);
}

TEST_F(GenericOptions, UpdateWritesTheSelectedRowsOnly) {
  auto loader = MakeLoader(doc, &log);
  std::vector<std::u16string> written;
  std::vector<int32_t> directions;
  ON_CALL(*loader, UpdateGlobalConfigs(_)).WillByDefault([&](ConfigTable* t) {
    for (auto& row : *t) written.push_back(row.id), directions.push_back(row.direction);
    return 1;
  });
  ON_CALL(*loader, ResolveSrvNameFromID(_, _, _)).WillByDefault([](const char16_t* id, char* name, size_t size) {
    EXPECT_EQ(std::u16string(id), u"gensmtp");
    CopyBounded(name, size, "Mail gateway");
    return 1;
  });
  TalvexGenericOptions* o = record.get();
  o->service_flag = TALVEX_SERVICE_EMAIL;

  EXPECT_EQ(UpdateGenericXMLConfigs(loader.get(), o, TALVEX_OPT_MAXSMSCHARS | TALVEX_OPT_POSITION), 1);
  EXPECT_EQ(written, (std::vector<std::u16string>{u"maxsmschars", u"position"}));

  written.clear();
  directions.clear();
  EXPECT_EQ(UpdateGenericXMLConfigs(loader.get(), o, TALVEX_OPT_ALL), 1);
  ASSERT_EQ(written.size(), 12u);
  EXPECT_EQ(written.front(), u"selectedservice");
  EXPECT_STREQ(o->selectedservice, "Mail gateway");
  EXPECT_EQ(directions, std::vector<int32_t>(12, kConfigUpdate));
}

TEST_F(GenericOptions, UpdateRefusesEmptyMasksAndUnknownServices) {
  auto loader = MakeLoader(doc, &log);
  EXPECT_CALL(*loader, UpdateGlobalConfigs(_)).Times(0);
  EXPECT_EQ(UpdateGenericXMLConfigs(loader.get(), record.get(), 0), 0);
  EXPECT_TRUE(log.Has(Severity::Error, "GenericGSMService::UpdateGenericXMLConfigs - Failed, Invalid Flags."));
  record.get()->service_flag = TALVEX_SERVICE_RESERVED;
  EXPECT_EQ(UpdateGenericXMLConfigs(loader.get(), record.get(), TALVEX_OPT_SELECTEDSERVICE), 0);
  EXPECT_TRUE(log.Has(Severity::Error, "GenericGSMService::UpdateGenericXMLConfigs - invalid service selected."));
}

// Saving "selectedservice" against a real document: the selection is kept
// when it names a service of the record's flag, and nothing is written when
// no service of that flag can be named.
class SavingTheSelection : public LoaderTest {
 protected:
  void UseServices(const std::string& selected, const std::string& services) {
    Use(Document(Option("enableengine", "yes") + Option("selectedservice", selected), services));
    ASSERT_EQ(LoadGenericXMLConfigs(record.get(), loader_.get()), 1);
  }
  static std::string Service(const std::string& name, const std::string& transport) {
    return "      <service name=\"" + name + "\" transport=\"" + transport + "\"/>\n";
  }
  bool Selects(const std::string& name) {
    return File().find("\"selectedservice\" value=\"" + name + "\"") != std::string::npos;
  }
  OptionsRecord record;
};

TEST_F(SavingTheSelection, ATransportOnlyContainingTheIdKeepsItsService) {
  UseServices("Modem", Service("Modem", "simple_gsm_v2"));
  ASSERT_EQ(record.get()->service_flag, 1u);
  record.get()->maxsmschars = 150;
  EXPECT_EQ(UpdateGenericXMLConfigs(loader_.get(), record.get(), TALVEX_OPT_SELECTEDSERVICE), 1);
  EXPECT_STREQ(record.get()->selectedservice, "Modem");
  EXPECT_TRUE(Selects("Modem"));
}

TEST_F(SavingTheSelection, TheSecondOfTwoServicesOfOneTransportStaysSelected) {
  UseServices("Null B", Service("Null A", "nuldrv") + Service("Null B", "nuldrv"));
  EXPECT_EQ(UpdateGenericXMLConfigs(loader_.get(), record.get(), TALVEX_OPT_ALL), 1);
  EXPECT_TRUE(Selects("Null B"));
}

TEST_F(SavingTheSelection, ANewFlagNamesItsServiceAndAnUnnamedOneWritesNothing) {
  UseServices("Null", Service("Null", "nuldrv") + Service("Mail", "gensmtp") + Service("Modem", "simple_gsm_v2"));
  record.get()->service_flag = TALVEX_SERVICE_EMAIL;  // the host picked another gateway
  EXPECT_EQ(UpdateGenericXMLConfigs(loader_.get(), record.get(), TALVEX_OPT_SELECTEDSERVICE), 1);
  EXPECT_TRUE(Selects("Mail"));

  std::string before = File();
  record.get()->service_flag = TALVEX_SERVICE_GSM;  // no transport is exactly its id
  record.get()->maxsmssplit = 9;
  EXPECT_EQ(UpdateGenericXMLConfigs(loader_.get(), record.get(), TALVEX_OPT_ALL), 0);
  EXPECT_EQ(File(), before);
  EXPECT_STREQ(record.get()->selectedservice, "Mail");
  EXPECT_TRUE(
      log_.Has(Severity::Error,
               "GenericGSMService::UpdateGenericXMLConfigs - no service with transport [simple_gsm] to select."));
}

TEST(OptionsRecordCopy, TheLineStatusTextIsAnEmptyBufferOf250FromTheStart) {
  OptionsRecord fresh;
  ASSERT_NE(fresh.get()->line_status.text, nullptr);
  EXPECT_STREQ(fresh.get()->line_status.text, "");
  EXPECT_EQ(fresh.get()->line_status.capacity, 250u);
  OptionsRecord copy;
  copy = fresh;
  ASSERT_NE(copy.get()->line_status.text, nullptr);
  EXPECT_NE(copy.get()->line_status.text, fresh.get()->line_status.text);
  EXPECT_EQ(copy.get()->line_status.capacity, 250u);
  OptionsRecord constructed(fresh);
  EXPECT_EQ(constructed.get()->line_status.capacity, 250u);
}

TEST(OptionsRecordCopy, LineSummaryIsCopiedDeeplyAndFreed) {
  OptionsRecord a;
  OptionsRecord::SetLineStatus(a.get(), "2 lines");
  OptionsRecord::SetLines(a.get(), {{"COM1", "1", "0", "0"}, {"COM2", "0", "0", "1"}});
  EXPECT_EQ(a.get()->line_status.capacity, 250u);
  OptionsRecord b;
  b = a;
  OptionsRecord::SetLines(a.get(), {});  // b keeps its own copy
  ASSERT_EQ(b.get()->lines.count, 2u);
  EXPECT_STREQ(b.get()->lines.entries[1].name.text, "COM2");
  EXPECT_STREQ(b.get()->line_status.text, "2 lines");
  EXPECT_EQ(a.get()->lines.entries, nullptr);
}

}  // namespace
}  // namespace talvenix::testing
