// SPDX-License-Identifier: Apache-2.0
// GSM modem lines end to end: the module loaded like a host loads it, a real
// qvsmscomms.xml in a fresh working folder, and the simulator driver.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>

#include "common/temp_folder.hpp"
#include "drivers/sim/gsm_sim_client.hpp"
#include "gateways/modem/driver_load_failure.hpp"
#include "gateways/modem/gsm_document.hpp"
#include "gateways/modem/host_events.hpp"
#include "hostkit/module.hpp"

namespace talvenix::testing {
namespace {

using host::Module;
using sim::SimClient;

class GsmLinesThroughExports : public ::testing::Test {
 protected:
  GsmLinesThroughExports() : sim(SimClient::Get()) {
    m.Unint();
    m.Unint();
    setenv(TALVEX_GSM_DRIVER_ENV, SimClient::Path().c_str(), 1);
    sim.Reset();
    sim.SetAutoLineState(-1);  // line states only when a test reports them
  }
  ~GsmLinesThroughExports() override {
    m.Unint();
    m.Unint();
    sim.Reset();
  }

  void Configure(const std::vector<DocumentLine>& lines) { folder.Write("qvsmscomms.xml", GsmDocument(lines)); }
  int32_t Start() { return m.InitTalvex(events.context(), &HostEvents::Callback, &options); }
  int32_t Update() {
    uint32_t mask = 0;
    return m.Update(&mask, 1, 1, &options);
  }
  std::string DocumentPath() const { return (folder.path() / "qvsmscomms.xml").string(); }
  std::string CallsSince(const std::string& before) { return sim.Calls().substr(before.size()); }

  Module& m = Module::Get();
  SimClient& sim;
  TempFolder folder{"gsm-lines"};
  WorkingFolder cwd{folder.path()};
  HostEvents events;
  TalvexGenericOptions* options = nullptr;
};

TEST_F(GsmLinesThroughExports, StartsTheConfiguredLinesAndReportsTheirStatesToTheHost) {
  Configure({{3, 9600, "North"},
             {4, 9600, "Off", {{"[lineenabled]", "0"}}},
             {5, 57600, "South", {{"[inumberenabled]", "0"}}}});
  ASSERT_EQ(Start(), TALVEX_OK);
  ASSERT_NE(options, nullptr);
  EXPECT_EQ(options->service_flag, uint32_t{TALVEX_SERVICE_GSM});
  EXPECT_EQ(options->multi_line, 1u);
  EXPECT_EQ(sim.Calls(), "init\nadd 3 9600\nadd 5 57600");

  EXPECT_EQ(options->lines_started, 2u);
  EXPECT_EQ(options->lines_failed, 0u);
  EXPECT_EQ(options->lines_ready, 0u);
  EXPECT_EQ(SummaryOf(*options), (std::vector<SummaryEntry>{{"North", "1", "0", "0"}, {"South", "0", "0", "2"}}));

  ASSERT_EQ(sim.ReportLineState(3, 0), 1);
  ASSERT_EQ(sim.ReportLineState(5, 4), 1);
  ASSERT_TRUE(events.WaitFor(TALVEX_EVENT_LINE_STATE, 2));
  ASSERT_EQ(sim.WaitIdle(5000), 1);
  auto states = events.OfKind(TALVEX_EVENT_LINE_STATE);
  std::sort(states.begin(), states.end(), [](auto& a, auto& b) { return a.extra < b.extra; });
  ASSERT_TRUE(states[0].line && states[1].line);
  EXPECT_EQ(states[0].line->comport, 3u);
  EXPECT_EQ(states[0].line->status, uint32_t{TALVEX_LINE_READY});
  EXPECT_EQ(states[0].context, events.context());
  EXPECT_EQ(states[0].data_kind, 0u);
  EXPECT_EQ(states[1].code, 4);
  EXPECT_EQ(states[1].line->status, uint32_t{TALVEX_LINE_FAILED});
  EXPECT_EQ(options->lines_started, 0u);
  EXPECT_EQ(options->lines_failed, 1u);
  EXPECT_EQ(options->lines_ready, 1u);

  m.Unint();
  EXPECT_EQ(sim.Calls(), "init\nadd 3 9600\nadd 5 57600\nshutdown");
  EXPECT_EQ(sim.RunningLines(), 0);
}

TEST_F(GsmLinesThroughExports, MessagesAndStatusReportsReachTheHost) {
  Configure({{3, 9600, "North"}});
  ASSERT_EQ(Start(), TALVEX_OK);
  ASSERT_EQ(sim.DeliverSms(3, "+4470000", "Hej då", 3), 1);
  ASSERT_EQ(sim.DeliverStatusReport(3, 44, 0, "+4471111", "+4472222", "ok"), 1);
  ASSERT_TRUE(events.WaitFor(TALVEX_EVENT_RECEIVED, 2));
  auto received = events.OfKind(TALVEX_EVENT_RECEIVED);
  EXPECT_EQ(received[0].data_kind, uint32_t{TALVEX_DATA_SMS});
  EXPECT_EQ(received[0].text, u"Hej då");
  EXPECT_EQ(received[0].originator, "+4470000");
  EXPECT_EQ(received[0].raw->line, 3u);
  EXPECT_EQ(received[0].context, events.context());
  EXPECT_EQ(received[1].data_kind, uint32_t{TALVEX_DATA_STATUS_REPORT});
  EXPECT_EQ(received[1].raw->report_reference, 44u);
  EXPECT_EQ(received[1].originator, "+4471111");
  EXPECT_EQ(received[1].report_text, "+4472222");
}

TEST_F(GsmLinesThroughExports, APendingSendEndsWithItsOutcomeAndTheHostsOwnRequest) {
  Configure({{3, 9600, "North"}});
  ASSERT_EQ(Start(), TALVEX_OK);
  sim.SetSendResult(TALVEX_PENDING, TALVEX_OK, 10);
  std::u16string buffer = u"Hello there";
  buffer.resize(64, u'\0');
  TalvexSmsRequest request{};
  request.text = buffer.data();
  request.text_capacity = static_cast<uint32_t>(buffer.size());
  request.recipient = "+15550100";
  ASSERT_EQ(m.SendSMS(&request), TALVEX_PENDING);
  ASSERT_TRUE(events.WaitFor(TALVEX_EVENT_OUTCOME, 1));
  HostEvent outcome = events.OfKind(TALVEX_EVENT_OUTCOME)[0];
  EXPECT_EQ(outcome.code, TALVEX_OK);
  EXPECT_EQ(outcome.data, &request);
  EXPECT_EQ(outcome.data_kind, uint32_t{TALVEX_DATA_REQUEST});
  EXPECT_EQ(outcome.context, events.context());
  EXPECT_EQ(sim.Calls(), "init\nadd 3 9600\nsend 0 +15550100 Hello there");
}

TEST_F(GsmLinesThroughExports, UpdateRestartsExactlyTheLinesWhoseModemSettingsChanged) {
  std::vector<DocumentLine> lines = {{3, 9600, "A"}, {4, 9600, "B"}, {5, 9600, "C"}};
  Configure(lines);
  ASSERT_EQ(Start(), TALVEX_OK);
  TalvexGenericOptions* started_options = options;

  lines[1].baud = 19200;
  Configure(lines);
  std::string before = sim.Calls();
  ASSERT_EQ(Update(), TALVEX_UPDATE_APPLIED);
  EXPECT_EQ(options, started_options);
  EXPECT_EQ(CallsSince(before), "\nuninit 4 1\nadd 4 19200");
  EXPECT_EQ(options->lines_started, 3u);
  EXPECT_EQ(SummaryOf(*options).size(), 3u);

  lines[2].name = "Renamed";
  Configure(lines);
  before = sim.Calls();
  ASSERT_EQ(Update(), TALVEX_UPDATE_APPLIED);
  EXPECT_EQ(CallsSince(before), "");
  EXPECT_EQ(SummaryOf(*options)[2], (SummaryEntry{"Renamed", "1", "0", "2"}));

  // A disabled line stops and leaves the summary; a new line starts at the end.
  lines[0].overrides["[lineenabled]"] = "0";
  lines.push_back({8, 4800, "D"});
  Configure(lines);
  before = sim.Calls();
  ASSERT_EQ(Update(), TALVEX_UPDATE_APPLIED);
  EXPECT_EQ(CallsSince(before), "\nuninit 3 1\nadd 8 4800");
  EXPECT_EQ(SummaryOf(*options), (std::vector<SummaryEntry>{{"B", "1", "0", "0"},
                                                             {"Renamed", "1", "0", "1"},
                                                             {"D", "1", "0", "2"}}));
  ASSERT_EQ(sim.ReportLineState(8, 0), 1);
  ASSERT_EQ(sim.WaitIdle(5000), 1);
  EXPECT_EQ(options->lines_ready, 1u);
  EXPECT_EQ(options->lines_started, 2u);
}

TEST_F(GsmLinesThroughExports, LineExportsAddListChangeAndDeleteExactlyWhatWasAsked) {
  Configure({{3, 9600, "A"}});
  ASSERT_EQ(m.InitXMLConfigurations(DocumentPath().c_str(), "sms"), 1);
  auto original = DocumentLines(DocumentPath());

  TalvexLineRecord line{};
  line.comport = 9;
  line.baudrate = 2400;
  line.sms_retry = 2;
  line.line_enabled = 1;
  line.accept_outgoing = 1;
  line.read_mode = 1;
  std::fill(std::begin(line.line_name), std::end(line.line_name), u'x');  // full, no NUL
  std::memcpy(line.smsc, u"+4479", 12);
  EXPECT_EQ(m.XMLConfigMultiLine_CreateNewLine(2, &line), 0);  // only flag 1 has lines
  ASSERT_EQ(m.XMLConfigMultiLine_CreateNewLine(1, &line), 1);

  TalvexLineRecordList* list = nullptr;
  ASSERT_EQ(m.LoadGSMServiceXMLConfigurations(1, &list, 1), 1);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->count, 2u);  // loading twice (mode 1 as well) still lists each line once
  TalvexLineRecord* added = list->lines[1];
  EXPECT_EQ(added->comport, 9u);
  EXPECT_EQ(added->baudrate, 2400u);
  EXPECT_EQ(added->read_mode, 1);
  EXPECT_EQ(std::u16string(added->line_name), std::u16string(511, u'x'));  // cut to the field, terminated
  EXPECT_EQ(std::u16string(added->smsc), u"+4479");

  added->baudrate = 4800;
  std::memcpy(added->line_name, u"Spare", 12);
  added->sms_retry = 7;  // not in the mask: must stay 2 in the document
  ASSERT_EQ(m.ChangeXMLConfigurations(1, added, TALVEX_LINE_BAUDRATE | TALVEX_LINE_NAME), 1);
  m.FreeXMLLoadResources(&list, 1);
  EXPECT_EQ(list, nullptr);

  auto now = DocumentLines(DocumentPath());
  ASSERT_EQ(now.size(), 2u);
  EXPECT_EQ(now[0], original[0]);
  EXPECT_EQ(now[1], (std::map<std::string, std::string>{
                        {"[comport]", "9"},         {"[baudrate]", "4800"},        {"[initstr]", ""},
                        {"[smsc]", "+4479"},        {"[linename]", "Spare"},       {"[recenabled]", "0"},
                        {"[sendenabled]", "1"},     {"[cleansimenabled]", "0"},    {"[srenabled]", "0"},
                        {"[lineenabled]", "1"},     {"[smsretry]", "2"},           {"[inumberenabled]", "0"},
                        {"[readiomode]", "BLOCKING"}, {"[cnmiparameters]", ""}}));

  EXPECT_EQ(m.XMLConfigMultiLine_DeleteLine(1, 10), 0);
  ASSERT_EQ(m.XMLConfigMultiLine_DeleteLine(1, 9), 1);
  EXPECT_EQ(DocumentLines(DocumentPath()), original);
}

TEST_F(GsmLinesThroughExports, RecordsOfAnEarlierLoadStayValidUntilTheListIsFreed) {
  Configure({{3, 9600, "A"}, {4, 2400, "B"}});
  ASSERT_EQ(m.InitXMLConfigurations(DocumentPath().c_str(), "sms"), 1);
  TalvexLineRecordList* list = nullptr;
  ASSERT_EQ(m.LoadGSMServiceXMLConfigurations(1, &list, 0), 1);
  ASSERT_EQ(list->count, 2u);
  TalvexLineRecord** earlier_array = list->lines;
  TalvexLineRecord* earlier = list->lines[1];

  ASSERT_EQ(m.LoadGSMServiceXMLConfigurations(1, &list, 0), 1);  // a settings screen refreshes
  EXPECT_EQ(list->count, 2u);                                     // refilled, not doubled
  EXPECT_EQ(earlier_array[1], earlier);                           // the earlier array and record are still there
  EXPECT_EQ(earlier->comport, 4u);
  EXPECT_EQ(std::u16string(earlier->line_name), u"B");
  earlier->baudrate = 19200;
  EXPECT_EQ(m.ChangeXMLConfigurations(1, earlier, TALVEX_LINE_BAUDRATE), 1);
  EXPECT_EQ(DocumentLines(DocumentPath())[1].at("[baudrate]"), "19200");
  m.FreeXMLLoadResources(&list, 1);  // frees both loads (the leak check would see any left)
  EXPECT_EQ(list, nullptr);
}

TEST_F(GsmLinesThroughExports, AMissingDriverFailsTheStartAndSaysWhy) {
  Configure({{3, 9600, "A"}});
  std::string missing = (folder.path() / "no-driver.Qvd").string();
  setenv(TALVEX_GSM_DRIVER_ENV, missing.c_str(), 1);
  EXPECT_EQ(Start(), TALVEX_FAILED);
  m.Unint();
  std::string log = folder.Read("Talvenix.log");
  EXPECT_NE(log.find(DriverLoadFailureLine(missing)), std::string::npos);
  EXPECT_NE(log.find("(Srv: GSM COM Driver Gateway)"), std::string::npos);
}

}  // namespace
}  // namespace talvenix::testing
