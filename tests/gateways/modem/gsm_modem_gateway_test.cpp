// SPDX-License-Identifier: Apache-2.0
// The running GSM modem gateway over the simulator driver: starting lines,
// sending, what the driver reports, configuration changes and stopping.

#include <cerrno>
#include <cstring>

#include "gateways/modem/driver_load_failure.hpp"
#include "gateways/modem/gsm_gateway_fixture.hpp"

namespace talvenix::testing {
namespace {

using sim::SimClient;


TEST_F(GsmGateway, StartsEnabledLinesDropsDisabledOnesAndKeepsRefusedOnesAsFailed) {
  store.lines = {LineStoreFake::MakeLine(3, 9600, u"North"),
                 LineStoreFake::MakeLine(4, 9600, u"Off", {{u"[lineenabled]", u"0"}}),
                 LineStoreFake::MakeLine(5, 57600, u"South", {{u"[inumberenabled]", u"0"}})};
  sim.SetLineResult(5, 41);
  EXPECT_EQ(Start(), 1);
  EXPECT_TRUE(log.HasText("GSMComDrv::LoadServiceSpecficConfigurations - found 3 valid GSM line(s)."));
  EXPECT_TRUE(log.Has(Severity::Warning,
                      "Vantrel_GSMCOMDrvInterface::ServiceInitLines -  GSM Line associated with ID: 4 is DISABLED."));
  EXPECT_TRUE(log.Has(Severity::Error, "GSMComDrv::ServiceAddLine - failed to add GSM line. (erc: 41)"));
  EXPECT_TRUE(log.Has(Severity::Warning, "Vantrel_GSMCOMDrvInterface::ServiceInitLines -  failed to add gsm line. (ID: 5)"));
  EXPECT_TRUE(log.HasText("GSMComDrv::ServiceAddLine - creating gsm line. (comport: 3 , baudrate: 9600 , canrecv: 1, "
                          "cansend: 1, cleanSIM: 0)"));
  EXPECT_EQ(sim.Calls(), "init\nadd 3 9600\nadd 5 57600");
  EXPECT_EQ(RunningPorts(), (std::vector<uint32_t>{3, 0, 5}));

  // Positions count every slot, the emptied one too.
  const TalvexGenericOptions& o = *options.get();
  EXPECT_EQ(o.lines_started, 1u);
  EXPECT_EQ(o.lines_failed, 1u);
  EXPECT_EQ(o.lines_ready, 0u);
  EXPECT_STREQ(o.line_status.text, "");
  EXPECT_EQ(SummaryOf(o), (std::vector<SummaryEntry>{{"North", "1", "0", "0"}, {"South", "0", "0", "2"}}));

  // The driver reports the line ready: the host gets the line's record, the summary follows.
  ASSERT_EQ(sim.ReportLineState(3, 0), 1);
  ASSERT_TRUE(events.WaitFor(TALVEX_EVENT_LINE_STATE, 1));
  HostEvent e = events.OfKind(TALVEX_EVENT_LINE_STATE)[0];
  EXPECT_EQ(e.code, 0);
  EXPECT_EQ(e.extra, 3);
  EXPECT_EQ(e.context, events.context());
  ASSERT_TRUE(e.line);
  EXPECT_EQ(e.line->comport, 3u);
  EXPECT_EQ(e.line->status, uint32_t{TALVEX_LINE_READY});
  EXPECT_EQ(e.line->last_code, 0u);
  EXPECT_EQ(o.lines_started, 0u);
  EXPECT_EQ(o.lines_ready, 1u);

  // A failure report marks the line failed and keeps the code.
  ASSERT_EQ(sim.ReportLineState(3, 9), 1);
  ASSERT_TRUE(events.WaitFor(TALVEX_EVENT_LINE_STATE, 2));
  EXPECT_EQ(events.OfKind(TALVEX_EVENT_LINE_STATE)[1].line->last_code, 9u);
  EXPECT_EQ(o.lines_failed, 2u);
}

TEST_F(GsmGateway, ALineWithCleanSimIsCleanedOnceAndTheDocumentForgetsTheRequest) {
  store.lines = {LineStoreFake::MakeLine(3, 9600, u"A", {{u"[cleansimenabled]", u"1"}, {u"[smsc]", u"+"}})};
  EXPECT_EQ(Start(), 1);
  TalvexDriverLineRecord record{};
  ASSERT_EQ(sim.LastLineRecord(3, &record), 1);
  EXPECT_EQ(record.clean_sim, 1u);
  EXPECT_EQ(record.has_smsc, 0u);  // one character counts as absent
  EXPECT_EQ(record.callback, &Vantrel_GSMCOMDrvInterface::GSMCallback);
  EXPECT_EQ(record.context, gateway.get());
  EXPECT_EQ(store.Value(3, u"[cleansimenabled]"), u"0");
  EXPECT_TRUE(log.HasText("GSMComDrv::ServiceAddLine - reseting cleanSIM setting. (COM3)"));
}

TEST_F(GsmGateway, StartFailsCleanlyForEveryDriverProblem) {
  EXPECT_EQ(gateway->ServiceInit(nullptr, 1, &store), 0);
  EXPECT_TRUE(log.Has(Severity::Error, "Vantrel_GSMCOMDrvInterface::ServiceInit - invalid parameter(s)."));
  EXPECT_EQ(gateway->ServiceInit(&HostEvents::Callback, 1, nullptr), 0);

  setenv(TALVEX_GSM_DRIVER_ENV, "/nonexistent/qvGSMcomdrv.Qvd", 1);
  EXPECT_EQ(gateway->ServiceInit(&HostEvents::Callback, events.context(), &store), 0);
  EXPECT_TRUE(log.Has(Severity::Error, DriverLoadFailureLine("/nonexistent/qvGSMcomdrv.Qvd")));

  setenv(TALVEX_GSM_DRIVER_ENV, TALVENIX_GSMSIM_INCOMPLETE_PATH, 1);
  log.Clear();
  EXPECT_EQ(gateway->ServiceInit(&HostEvents::Callback, events.context(), &store), 0);
  EXPECT_TRUE(
      log.Has(Severity::Error, DriverLoadFailureLine(TALVENIX_GSMSIM_INCOMPLETE_PATH, "gsmdrvreinitGSMline")));

  setenv(TALVEX_GSM_DRIVER_ENV, SimClient::Path().c_str(), 1);
  sim.SetInitResult(5);
  EXPECT_EQ(gateway->ServiceInit(&HostEvents::Callback, events.context(), &store), 0);
  EXPECT_TRUE(log.Has(Severity::Error, "GSMComDrv::init - failed to init qvGSMcomdrv."));
  EXPECT_FALSE(gateway->IsServiceInitialized());

  // Nothing was left behind: a driver that works starts, also for a host whose context is 0.
  sim.SetInitResult(0);
  EXPECT_EQ(gateway->ServiceInit(&HostEvents::Callback, 0, &store), 1);
  EXPECT_EQ(gateway->ServiceInit(&HostEvents::Callback, events.context(), &store), 0);
  EXPECT_TRUE(log.Has(Severity::Error, "Vantrel_GSMCOMDrvInterface::ServiceInit - Service Already Init."));
  EXPECT_EQ(gateway->ServiceInitLines(), 0);  // no lines configured
}

TEST_F(GsmGateway, SendsThroughTheDriverAndReportsPendingOutcomesWithTheHostsRequest) {
  TalvexSmsRequest request{};
  std::u16string text = u"Hello";
  request.part = text.c_str();
  request.recipient = "+15550100";
  EXPECT_EQ(gateway->ServiceSendSMS(1, 0, &request), TALVEX_NOT_INITIALISED);
  EXPECT_TRUE(log.Has(Severity::Error, "GSMComDrv::ServiceSendSMS - service not initialized."));

  store.lines = {LineStoreFake::MakeLine(3, 9600, u"A")};
  Start();
  EXPECT_EQ(gateway->ServiceSendSMS(1, 0, nullptr), TALVEX_INVALID_PARAMETER);

  EXPECT_EQ(gateway->ServiceSendSMS(1, 1, &request), TALVEX_OK);
  EXPECT_EQ(request.driver_callback, reinterpret_cast<void*>(&Vantrel_GSMCOMDrvInterface::GSMCallback));
  EXPECT_EQ(request.outcome_context, events.context());

  sim.SetSendResult(58, 0, 0);
  EXPECT_EQ(gateway->ServiceSendSMS(1, 0, &request), 58);
  EXPECT_TRUE(log.Has(Severity::Error, "GSMComDrv::ServiceSendSMS - generic error reported by driver. (erc: 58)"));

  sim.SetSendResult(TALVEX_PENDING, 74, 20);
  EXPECT_EQ(gateway->ServiceSendSMS(1, 0, &request), TALVEX_PENDING);
  EXPECT_TRUE(log.HasText("GSMComDrv::ServiceSendSMS - SMS request pending."));
  ASSERT_TRUE(events.WaitFor(TALVEX_EVENT_OUTCOME, 1));
  HostEvent outcome = events.OfKind(TALVEX_EVENT_OUTCOME)[0];
  EXPECT_EQ(outcome.code, 74);
  EXPECT_EQ(outcome.data, &request);
  EXPECT_EQ(outcome.data_kind, uint32_t{TALVEX_DATA_REQUEST});
  EXPECT_EQ(outcome.context, events.context());
  EXPECT_EQ(sim.Calls(), "init\nadd 3 9600\nsend 1 +15550100 Hello\nsend 0 +15550100 Hello\nsend 0 +15550100 Hello");

  // A request still pending when the gateway stops gets its outcome too.
  sim.SetSendResult(TALVEX_PENDING, 0, 60000);
  EXPECT_EQ(gateway->ServiceSendSMS(1, 0, &request), TALVEX_PENDING);
  gateway->ServiceUninit();
  ASSERT_TRUE(events.WaitFor(TALVEX_EVENT_OUTCOME, 2));
  EXPECT_EQ(events.OfKind(TALVEX_EVENT_OUTCOME)[1].code, TALVEX_ABORTED);
}

TEST_F(GsmGateway, DeliversMessagesAndStatusReportsAndIgnoresWhatItCannotUse) {
  store.lines = {LineStoreFake::MakeLine(3, 9600, u"A")};
  Start();
  ASSERT_EQ(sim.DeliverSms(3, "+4470000", "Grüße", 31), 1);
  ASSERT_EQ(sim.DeliverStatusReport(3, 17, 2, "+4471111", "+4472222", "delivered"), 1);
  ASSERT_EQ(sim.DeliverSms(3, "+1", "", 32), 1);  // nothing of the report before it remains
  ASSERT_TRUE(events.WaitFor(TALVEX_EVENT_RECEIVED, 3));
  auto received = events.OfKind(TALVEX_EVENT_RECEIVED);
  EXPECT_EQ(received[0].data_kind, uint32_t{TALVEX_DATA_SMS});
  EXPECT_EQ(received[0].text, u"Grüße");
  EXPECT_EQ(received[0].originator, "+4470000");
  EXPECT_EQ(received[0].raw->line, 31u);
  EXPECT_EQ(received[0].raw->service_flag, uint32_t{TALVEX_SERVICE_GSM});
  EXPECT_EQ(received[0].extra, 3);
  EXPECT_EQ(received[1].data_kind, uint32_t{TALVEX_DATA_STATUS_REPORT});
  EXPECT_EQ(received[1].raw->report_reference, 17u);
  EXPECT_EQ(received[1].raw->report_status, 2u);
  EXPECT_EQ(received[1].raw->line, 0u);
  EXPECT_EQ(received[1].originator, "+4471111");
  EXPECT_EQ(received[1].report_text, "+4472222");
  EXPECT_EQ(received[1].text, u"delivered");
  EXPECT_EQ(received[2].raw->report_reference, 0u);
  EXPECT_EQ(received[2].raw->report_status, 0u);
  EXPECT_EQ(received[2].report_text, "");
  EXPECT_EQ(received[2].originator, "+1");
  EXPECT_EQ(received[2].text, u"");

  // What the gateway cannot use reaches the host as nothing, or with no line.
  events.Clear();
  sim.Inject(3, 0, 3, 7, 0, 1);                                    // unknown kind
  sim.Inject(3, 0, 3, TALVEX_DRV_RECEIVED, TALVEX_DATA_REQUEST, 1); // not a message
  sim.Inject(3, 0, 3, TALVEX_DRV_RECEIVED, TALVEX_DATA_SMS, 0);     // no message
  sim.Inject(3, 0, 3, TALVEX_DRV_SEND_OUTCOME, TALVEX_DATA_SMS, 1); // not a request
  sim.Inject(3, 0, 3, TALVEX_DRV_SEND_OUTCOME, TALVEX_DATA_REQUEST, 0);
  sim.Inject(3, 0, 3, TALVEX_DRV_RECEIVED, TALVEX_DATA_SMS, 1);     // a zeroed message: empty texts
  sim.Inject(3, 5, 99, TALVEX_DRV_LINE_STATE, 0, 0);                // a port that is not in the list
  ASSERT_EQ(sim.WaitIdle(5000), 1);
  Vantrel_GSMCOMDrvInterface::GSMCallback(0, 3, TALVEX_DRV_LINE_STATE, nullptr, nullptr, 0);  // no gateway
  auto all = events.All();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].kind, uint32_t{TALVEX_EVENT_RECEIVED});
  EXPECT_EQ(all[0].text, u"");
  EXPECT_EQ(all[1].kind, uint32_t{TALVEX_EVENT_LINE_STATE});
  EXPECT_EQ(all[1].extra, 99);
  EXPECT_FALSE(all[1].line);
  EXPECT_EQ(all[1].data, nullptr);
  EXPECT_TRUE(log.Has(Severity::Error, "Vantrel_GSMCOMDrvInterface::GSMCallback - Invalid SMS Type."));
  EXPECT_TRUE(log.Has(Severity::Error, "Vantrel_GSMCOMDrvInterface::GSMCallback - Invalid CALLBACK."));
}

// What a host saw of each incoming message, and a message it hands back to
// the gateway from inside its callback, on the driver's thread.
struct ReenteringHost {
  Vantrel_GSMCOMDrvInterface* gateway = nullptr;
  std::vector<std::u16string> seen;
  std::vector<uint32_t> capacities;
  std::u16string outer_after_nested;

  static int32_t TALVEX_CALL Callback(int32_t, int32_t, uint32_t kind, uintptr_t context, void* data, uint32_t) {
    auto* self = reinterpret_cast<ReenteringHost*>(context);
    if (kind != TALVEX_EVENT_RECEIVED) return 0;
    auto* record = static_cast<TalvexReceivedMessage*>(data);
    self->seen.push_back(record->text.text);
    self->capacities.push_back(record->text.capacity);
    if (self->seen.back() == u"outer") {
      TalvexDriverIncomingSms inner{u"inner", "+2", 9};
      Vantrel_GSMCOMDrvInterface::GSMCallback(0, 3, TALVEX_DRV_RECEIVED, self->gateway, &inner, TALVEX_DATA_SMS);
      self->outer_after_nested = record->text.text;
    }
    return 0;
  }
};

TEST_F(GsmGateway, ReusedRecordsFitEachTextAndANestedDeliveryLeavesTheOuterOneAlone) {
  store.lines = {LineStoreFake::MakeLine(3, 9600, u"A")};
  ReenteringHost host;
  host.gateway = gateway.get();
  ASSERT_EQ(gateway->LoadServiceSpecficConfigurations(options.get(), &store), 1);
  ASSERT_EQ(gateway->ServiceInit(&ReenteringHost::Callback, reinterpret_cast<uintptr_t>(&host), &store), 1);
  ASSERT_EQ(gateway->ServiceInitLines(), 1);
  const std::string longer(150, 'x');
  ASSERT_EQ(sim.DeliverSms(3, "+1", "ab", 1), 1);
  ASSERT_EQ(sim.DeliverSms(3, "+1", longer.c_str(), 1), 1);  // outgrows the kept storage
  ASSERT_EQ(sim.DeliverSms(3, "+1", "c", 1), 1);
  ASSERT_EQ(sim.DeliverSms(3, "+1", "", 1), 1);
  ASSERT_EQ(sim.DeliverSms(3, "+1", "outer", 1), 1);  // re-enters on the same thread: must not block
  ASSERT_EQ(sim.WaitIdle(5000), 1);
  gateway->ServiceUninit();
  std::u16string wide_longer(longer.begin(), longer.end());
  EXPECT_EQ(host.seen, (std::vector<std::u16string>{u"ab", wide_longer, u"c", u"", u"outer", u"inner"}));
  EXPECT_EQ(host.capacities, (std::vector<uint32_t>{3, 151, 2, 2, 6, 6}));
  EXPECT_EQ(host.outer_after_nested, u"outer");
}

TEST_F(GsmGateway, UpdateRestartsOnlyChangedLinesStopsRemovedOnesAndStartsNewOnes) {
  store.lines = {LineStoreFake::MakeLine(3, 9600, u"A"), LineStoreFake::MakeLine(4, 9600, u"B"),
                 LineStoreFake::MakeLine(5, 9600, u"C")};
  EXPECT_EQ(Start(), 3);
  uint32_t mask = 0;

  // A new baud rate on one line restarts exactly that line; a new name restarts none.
  LineStoreFake::Set(store.lines[1], u"[baudrate]", u"19200");
  LineStoreFake::Set(store.lines[2], u"[linename]", u"Renamed");
  LineStoreFake::Set(store.lines[2], u"[smsretry]", u"9");  // not compared, not taken over
  std::string before = sim.Calls();
  ASSERT_EQ(gateway->UpdateConfigs(&mask, options.get(), 1, 1), 1);
  EXPECT_EQ(CallsSince(before), "\nuninit 4 1\nadd 4 19200");
  EXPECT_TRUE(log.HasText("GSMComDrv::UpdateConfigs - GSM Line configuration change detected, restarting GSM Line "
                          "associated with COM4"));
  gateway->WithLines([](const gsm::LineRecords& lines) {
    EXPECT_EQ(lines[1]->baudrate, 19200u);
    EXPECT_EQ(gsm::ReadText(lines[2]->line_name), u"Renamed");
    EXPECT_EQ(lines[2]->sms_retry, 3);
  });
  EXPECT_EQ(SummaryOf(*options.get())[2].name, "Renamed");

  // Nothing changed: nothing happens.
  before = sim.Calls();
  ASSERT_EQ(gateway->UpdateConfigs(&mask, options.get(), 1, 1), 1);
  EXPECT_EQ(CallsSince(before), "");

  // A disabled line and a deleted line stop; a new enabled line starts at the end.
  LineStoreFake::Set(store.lines[0], u"[lineenabled]", u"0");
  store.lines.erase(store.lines.begin() + 2);
  store.lines.push_back(LineStoreFake::MakeLine(6, 4800, u"D", {{u"[cleansimenabled]", u"1"}}));
  store.lines.push_back(LineStoreFake::MakeLine(8, 4800, u"E", {{u"[lineenabled]", u"0"}}));
  sim.SetLineResult(6, TALVEX_PENDING);  // also an acceptance
  before = sim.Calls();
  ASSERT_EQ(gateway->UpdateConfigs(&mask, options.get(), 1, 1), 1);
  EXPECT_EQ(CallsSince(before), "\nuninit 3 1\nuninit 5 1\nadd 6 4800");
  EXPECT_TRUE(log.HasText("GSMComDrv::UpdateConfigs  - removing GSM line associated with COM3"));
  EXPECT_EQ(RunningPorts(), (std::vector<uint32_t>{4, 6}));
  EXPECT_EQ(store.Value(6, u"[cleansimenabled]"), u"0");
  EXPECT_EQ(SummaryOf(*options.get()),
            (std::vector<SummaryEntry>{{"B", "1", "0", "0"}, {"D", "1", "0", "1"}}));
  EXPECT_EQ(options.get()->lines_started, 2u);
  EXPECT_EQ(mask, 0u);  // the change mask is the engine's business
}

TEST_F(GsmGateway, UpdateAndUninitNeedARunningGateway) {
  uint32_t mask = 0;
  EXPECT_EQ(gateway->UpdateConfigs(&mask, options.get(), 1, 1), 0);
  EXPECT_TRUE(log.Has(Severity::Error, "GSMComDrv::UpdateConfigs - invalid parameter(s)."));
  gateway->ServiceUninit();
  EXPECT_TRUE(log.Has(Severity::Error, "GSMComDrv::ServiceUninit - Service  is not initialized."));
  EXPECT_EQ(gateway->LoadServiceSpecficConfigurations(nullptr, &store), 0);
  EXPECT_TRUE(log.Has(Severity::Error, "GSMComDrv::LoadServiceSpecficConfigurations - invalid parameter(s)."));

  store.lines = {LineStoreFake::MakeLine(3, 9600, u"A")};
  Start();
  gateway->ServiceUninit();
  EXPECT_EQ(sim.Calls(), "init\nadd 3 9600\nshutdown");
  EXPECT_EQ(sim.RunningLines(), 0);
  EXPECT_TRUE(RunningPorts().empty());
  EXPECT_EQ(gateway->UpdateConfigs(&mask, options.get(), 1, 1), 0);
  EXPECT_TRUE(log.Has(Severity::Error, "GSMComDrv::UpdateConfigs  - service not init."));
  TalvexDriverLineRecord record{};
  EXPECT_EQ(gateway->ServiceAddLine(&record), 0);
  EXPECT_TRUE(log.Has(Severity::Error, "GSMComDrv::ServiceAddLine - service not initialized."));
  EXPECT_EQ(gateway->ServiceAddLine(nullptr), 0);
  EXPECT_TRUE(log.Has(Severity::Error, "GSMComDrv::ServiceAddLine - invalid parameter(s)."));
}

TEST_F(GsmGateway, DestroyingARunningGatewayStopsTheDriverFirst) {
  store.lines = {LineStoreFake::MakeLine(3, 9600, u"A")};
  Start();
  gateway.reset();
  EXPECT_EQ(sim.Calls(), "init\nadd 3 9600\nshutdown");
}

}  // namespace
}  // namespace talvenix::testing
