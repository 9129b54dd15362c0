// SPDX-License-Identifier: Apache-2.0
// The settings-screen side of the GSM modem gateway: reading every line into
// the host's list, writing selected properties of one line, adding and
// deleting lines, and the record a line is started with in the driver.

#include <gtest/gtest.h>

#include <cstring>

#include "common/recording_logger.hpp"
#include "gateways/catalog/catalog.hpp"
#include "gateways/modem/gsm_modem_gateway.hpp"
#include "gateways/modem/line_properties.hpp"
#include "gateways/modem/line_record.hpp"
#include "gateways/modem/line_store_fake.hpp"

namespace talvenix::testing {
namespace {

class GsmLineSettings : public ::testing::Test {
 protected:
  ~GsmLineSettings() override { gateway.FreeXMLLoadResources(&list); }

  int Load() { return gateway.ConfigLoad(&store, &list, 0); }

  RecordingLogger log;
  LineStoreFake store;
  Vantrel_GSMCOMDrvInterface gateway{&log};
  TalvexLineRecordList* list = nullptr;
};

TEST_F(GsmLineSettings, LoadsEveryLineWithItsPropertiesInDocumentOrder) {
  store.lines = {LineStoreFake::MakeLine(3, 9600, u"North",
                                         {{u"[readiomode]", u"NON-BLOCKING"}, {u"[cnmiparameters]", u"(2)(0,2)"}}),
                 LineStoreFake::MakeLine(7, 115200, u"South", {{u"[smsretry]", u"5"}, {u"[inumberenabled]", u"0"}})};
  ASSERT_EQ(Load(), 1);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->count, 2u);
  const TalvexLineRecord& north = *list->lines[0];
  EXPECT_EQ(north.comport, 3u);
  EXPECT_EQ(north.baudrate, 9600u);
  EXPECT_EQ(gsm::ReadText(north.line_name), u"North");
  EXPECT_EQ(gsm::ReadText(north.initstr), u"ATZ");
  EXPECT_EQ(gsm::ReadText(north.cnmi), u"(2)(0,2)");
  EXPECT_EQ(north.read_mode, 0);
  EXPECT_EQ(north.accept_incoming, 1);
  EXPECT_EQ(north.status, uint32_t{TALVEX_LINE_FAILED});  // not started
  const TalvexLineRecord& south = *list->lines[1];
  EXPECT_EQ(south.comport, 7u);
  EXPECT_EQ(south.sms_retry, 5);
  EXPECT_EQ(south.read_mode, 1);
  EXPECT_EQ(south.international_numbers, 0);

  // Loading into the same list again refills it instead of doubling it.
  ASSERT_EQ(gateway.ConfigLoad(&store, &list, 1), 1);
  EXPECT_EQ(list->count, 2u);
}

TEST_F(GsmLineSettings, BadValuesInTheDocumentNeverBreakTheLoad) {
  LineStoreFake::Line odd = LineStoreFake::MakeLine(4, 0, u"",
                                                    {{u"[baudrate]", u"fast"},
                                                     {u"[recenabled]", u"2"},
                                                     {u"[inumberenabled]", u"-1"},
                                                     {u"[smsretry]", u"99999999999999"},
                                                     {u"[lineenabled]", u" 1 please"},
                                                     {u"[unknown]", u"ignored"}});
  LineStoreFake::Set(odd, u"[linename]", std::u16string(700, u'x'));  // longer than the field
  // Properties that stand before any key property belong to no line.
  // A line that names only its port keeps every other default.
  store.lines = {{{u"[baudrate]", u"1200"}}, odd, {{u"[comport]", u"6"}}};
  ASSERT_EQ(Load(), 1);
  ASSERT_EQ(list->count, 2u);
  const TalvexLineRecord& bare = *list->lines[1];
  EXPECT_EQ(bare.comport, 6u);
  EXPECT_EQ(bare.baudrate, 0u);
  EXPECT_EQ(bare.line_enabled, 0);
  EXPECT_EQ(bare.sms_retry, 3);
  EXPECT_EQ(bare.international_numbers, 1);
  const TalvexLineRecord& line = *list->lines[0];
  EXPECT_EQ(line.comport, 4u);
  EXPECT_EQ(line.baudrate, 0u);              // no digits
  EXPECT_EQ(line.accept_incoming, 0);        // "2" keeps the default
  EXPECT_EQ(line.international_numbers, 1);  // "-1" keeps the default
  EXPECT_EQ(line.sms_retry, INT32_MAX);      // saturated, never wrapped
  EXPECT_EQ(line.line_enabled, 1);           // leading digits count
  EXPECT_EQ(gsm::ReadText(line.line_name), std::u16string(511, u'x'));

  store.lines.clear();
  ASSERT_EQ(Load(), 1);
  EXPECT_EQ(list->count, 0u);
  EXPECT_EQ(list->lines, nullptr);
}

TEST_F(GsmLineSettings, ConfigLoadAndFreeCheckTheirArguments) {
  EXPECT_EQ(gateway.ConfigLoad(nullptr, &list, 0), 0);
  EXPECT_TRUE(log.Has(Severity::Error, "GSMComDrv::ConfigXMLLoad - invalid parameter(s)."));
  gateway.FreeXMLLoadResources(nullptr);  // nothing to free
  gateway.FreeXMLLoadResources(&list);    // null list
  store.lines = {LineStoreFake::MakeLine(3, 9600, u"A")};
  ASSERT_EQ(Load(), 1);
  gateway.FreeXMLLoadResources(&list);
  EXPECT_EQ(list, nullptr);
}

TEST_F(GsmLineSettings, OutOfMemoryIsAFailureOfEveryOperation) {
  store.lines = {LineStoreFake::MakeLine(3, 9600, u"A")};
  store.out_of_memory = true;
  EXPECT_EQ(Load(), 0);
  TalvexGenericOptions options{};
  EXPECT_EQ(gateway.LoadServiceSpecficConfigurations(&options, &store), 0);
  EXPECT_TRUE(log.Has(Severity::Error, "GSMComDrv::ConfigLoad - failed to allocate vector. (memory exception)"));
  TalvexLineRecord record{};
  record.comport = 3;
  EXPECT_EQ(gateway.ConfigUpdate(&store, &record, TALVEX_LINE_NAME), 0);
  EXPECT_EQ(gateway.CreateNewLine(&store, &record), 0);

  // Memory back: the same gateway loads its lines.
  store.out_of_memory = false;
  EXPECT_EQ(gateway.LoadServiceSpecficConfigurations(&options, &store), 1);
  EXPECT_TRUE(
      log.Has(Severity::Information, "GSMComDrv::LoadServiceSpecficConfigurations - found 1 valid GSM line(s)."));
}

TEST_F(GsmLineSettings, UpdateWritesTheMaskedPropertiesInOrderAndMovesTheKey) {
  store.lines = {LineStoreFake::MakeLine(3, 9600, u"Old")};
  auto record = gsm::NewLineRecord();
  record->comport = 3;
  record->new_comport = 5;
  record->baudrate = 19200;
  record->line_enabled = 1;
  record->read_mode = 7;  // anything but 1 is non-blocking
  gsm::WriteText(record->line_name, u"New");
  uint32_t mask =
      TALVEX_LINE_COMPORT | TALVEX_LINE_BAUDRATE | TALVEX_LINE_NAME | TALVEX_LINE_ENABLED | TALVEX_LINE_READIOMODE;
  ASSERT_EQ(gateway.ConfigUpdate(&store, record.get(), mask), 1);
  ASSERT_EQ(store.updates.size(), 1u);
  EXPECT_EQ(store.updates[0].first, 3);  // found by its current key
  using Row = std::pair<std::u16string, std::u16string>;
  EXPECT_EQ(store.updates[0].second, (std::vector<Row>{{u"[comport]", u"5"},
                                                       {u"[lineenabled]", u"1"},
                                                       {u"[readiomode]", u"NON-BLOCKING"},
                                                       {u"[baudrate]", u"19200"},
                                                       {u"[linename]", u"New"}}));
  EXPECT_EQ(record->comport, 5u);
  EXPECT_EQ(store.Value(5, u"[linename]"), u"New");

  // A write that fails leaves the record naming the line the document still has.
  store.update_result = 0;
  record->new_comport = 9;
  EXPECT_EQ(gateway.ConfigUpdate(&store, record.get(), TALVEX_LINE_COMPORT), 0);
  EXPECT_EQ(record->comport, 5u);
  EXPECT_EQ(gateway.ConfigUpdate(nullptr, record.get(), 1), 0);
  EXPECT_EQ(gateway.ConfigUpdate(&store, nullptr, 1), 0);
}

TEST_F(GsmLineSettings, NewLineTemplateListsAllFourteenPropertiesKeyFirst) {
  TalvexLineRecord record;
  gsm::ResetLineRecord(&record);
  record.comport = 4000000000u;  // unsigned in the document
  record.baudrate = 9600;
  record.sms_retry = -2;
  record.clean_sim = 1;
  // A host that fills a text field to the end without a NUL: read up to the field's end only.
  std::fill(std::begin(record.smsc), std::end(record.smsc), u'7');
  ASSERT_EQ(gateway.CreateNewLine(&store, &record), 1);
  ASSERT_EQ(store.created.size(), 1u);
  const LineTemplate& t = store.created[0];
  ASSERT_EQ(t.size(), 14u);
  std::vector<std::u16string> ids;
  for (const auto& f : t) ids.push_back(f.id);
  EXPECT_EQ(ids, (std::vector<std::u16string>{u"[comport]", u"[baudrate]", u"[initstr]", u"[smsc]", u"[linename]",
                                              u"[recenabled]", u"[sendenabled]", u"[cleansimenabled]", u"[srenabled]",
                                              u"[lineenabled]", u"[smsretry]", u"[inumberenabled]", u"[readiomode]",
                                              u"[cnmiparameters]"}));
  EXPECT_EQ(t[0].name, u"COM Port");
  EXPECT_EQ(t[0].value, u"4000000000");
  EXPECT_EQ(t[3].value, std::u16string(512, u'7'));
  EXPECT_EQ(t[7].value, u"1");
  EXPECT_EQ(t[10].value, u"-2");
  EXPECT_EQ(t[11].value, u"1");
  EXPECT_EQ(t[12].value, u"NON-BLOCKING");
  EXPECT_EQ(t[13].name.rfind(u"Override CNMI Parameters, parameters: (MODE)(MT)(BM)(DS)(BFR)", 0), 0u);

  EXPECT_EQ(gateway.DeleteLine(&store, 4000000000u), 0);  // no such line: the store says so
  EXPECT_EQ(gateway.CreateNewLine(nullptr, &record), 0);
  EXPECT_EQ(gateway.CreateNewLine(&store, nullptr), 0);
  EXPECT_EQ(gateway.DeleteLine(nullptr, 3), 0);
}

// Every property of the catalog's line list is written from its own field
// of the record and read back into the same one: a row pointing at the
// wrong field, or of the wrong kind, loses the value.
TEST(GsmLineFields, EveryPropertyComesBackIntoTheFieldItWasWrittenFrom) {
  TalvexLineRecord written;
  gsm::ResetLineRecord(&written);
  written.comport = written.new_comport = 4000;
  written.baudrate = 115200;
  written.sms_retry = -7;
  written.read_mode = 1;
  written.accept_incoming = 0;
  written.accept_outgoing = 0;
  written.clean_sim = 1;
  written.status_reports = 1;
  written.line_enabled = 1;
  written.international_numbers = 0;
  gsm::WriteText(written.line_name, u"Shop");
  gsm::WriteText(written.initstr, u"AT+CSCS=\"GSM\"");
  gsm::WriteText(written.smsc, u"+4412345");
  gsm::WriteText(written.cnmi, u"(2)(1)");

  TalvexLineRecord read;
  gsm::ResetLineRecord(&read);
  read.accept_incoming = read.accept_outgoing = read.international_numbers = 1;
  const std::vector<LinePropertyItem> rows = gsm::LinePropertyRows(written, 0xFFFFFFFFu);
  ASSERT_EQ(rows.size(), kModemService.line_fields.size());
  for (const LinePropertyItem& row : rows) gsm::ApplyLineProperty(&read, row.item.id, row.value);

  EXPECT_EQ(read.comport, written.comport);
  EXPECT_EQ(read.baudrate, written.baudrate);
  EXPECT_EQ(read.sms_retry, written.sms_retry);
  EXPECT_EQ(read.read_mode, written.read_mode);
  for (auto flag :
       {&TalvexLineRecord::accept_incoming, &TalvexLineRecord::accept_outgoing, &TalvexLineRecord::clean_sim,
        &TalvexLineRecord::status_reports, &TalvexLineRecord::line_enabled, &TalvexLineRecord::international_numbers})
    EXPECT_EQ(read.*flag, written.*flag);
  for (auto text :
       {&TalvexLineRecord::line_name, &TalvexLineRecord::initstr, &TalvexLineRecord::smsc, &TalvexLineRecord::cnmi})
    EXPECT_EQ(gsm::ReadText(read.*text), gsm::ReadText(written.*text));
}

TEST(GsmDriverLineRecord, CarriesTheLineInEightBitAndDropsOneCharacterTexts) {
  TalvexLineRecord line;
  gsm::ResetLineRecord(&line);
  line.comport = 3;
  line.baudrate = 9600;
  line.accept_outgoing = 1;
  line.clean_sim = 1;
  gsm::WriteText(line.smsc, u"+");  // one character: absent
  gsm::WriteText(line.initstr, u"AT+CMGF=1");
  gsm::WriteText(line.cnmi, u"");
  TalvexDriverLineRecord out;
  std::memset(&out, 0xAB, sizeof out);
  gsm::BuildDriverLineRecord(line, &out);
  EXPECT_EQ(out.comport, 3u);
  EXPECT_EQ(out.sms_retry, 3u);
  EXPECT_EQ(out.has_smsc, 0u);
  EXPECT_STREQ(out.smsc, "");
  EXPECT_EQ(out.has_initstr, 1u);
  EXPECT_STREQ(out.initstr, "AT+CMGF=1");
  EXPECT_EQ(out.has_cnmi, 1u);  // even when empty
  EXPECT_EQ(out.can_send, 1u);
  EXPECT_EQ(out.can_receive, 0u);
  EXPECT_EQ(out.clean_sim, 1u);
  EXPECT_EQ(out.international_numbers, 1u);
  EXPECT_EQ(out.reserved1, 0u);
  EXPECT_EQ(out.context, nullptr);

  // 511 two-byte characters do not fit 499 bytes: cut between characters, terminated.
  std::fill(std::begin(line.initstr), std::end(line.initstr), u'\u00e9');  // and no NUL at all
  gsm::BuildDriverLineRecord(line, &out);
  EXPECT_EQ(std::strlen(out.initstr), 498u);
  EXPECT_EQ(static_cast<unsigned char>(out.initstr[497]), 0xA9);
}

}  // namespace
}  // namespace talvenix::testing
