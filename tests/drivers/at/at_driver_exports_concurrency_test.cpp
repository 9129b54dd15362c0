// SPDX-License-Identifier: Apache-2.0
// The AT driver end to end through the module's exports: each line's thread
// talks to a simulated modem on a pseudo-terminal while the host sends and
// the modem indicates messages and status reports.

#include <algorithm>
#include <cstring>

#include "drivers/at/at_driver_fixture.hpp"

namespace talvenix::testing {
namespace {

using at::Encoding;

class AtDriverThroughExports : public AtDriverFixture {};

TEST_F(AtDriverThroughExports, InitialisesTheModemAndSendsEveryKindOfText) {
  ModemSim modem(Device(3));
  Configure({{3, 115200, "North"}});
  ASSERT_EQ(Start(), TALVEX_OK);
  ASSERT_TRUE(WaitState(3, 0));
  auto commands = modem.commands();
  std::vector<std::string> expected = {"AT",
                                       "ATZ",
                                       "ATZ",
                                       "ATE0",
                                       "AT+CMEE=1",
                                       "AT+CPIN?",
                                       "AT+CMGF=0",
                                       "AT+CSCS=\"GSM\"",
                                       "AT+CSCA=\"+4479\",145",
                                       "AT+CSMS?",
                                       "AT+CNMI=2,1,0,1,0",
                                       "AT+CPMS=\"SM\",\"SM\",\"SM\"",
                                       "AT+CMGL=4"};
  ASSERT_GE(commands.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + expected.size()), expected);

  std::u16string extended = u"Price: 5\u20AC [a] {b} \\c ~d ^e |f";
  std::u16string ucs2 = u"\u041F\u0440\u0438\u0432\u0435\u0442 \U0001F600";
  std::u16string long_text;
  for (int i = 0; i < 400; ++i) long_text.push_back(static_cast<char16_t>(u'A' + i % 26));
  TalvexSmsRequest* plain = Request(u"Hello from the line");
  TalvexSmsRequest* extension = Request(extended);
  TalvexSmsRequest* wide = Request(ucs2, "0701234567");
  TalvexSmsRequest* concatenated = Request(long_text);
  for (TalvexSmsRequest* r : {plain, extension, wide, concatenated}) EXPECT_EQ(m.SendSMS(r), TALVEX_PENDING);
  ASSERT_TRUE(modem.WaitSubmitted(6));
  for (TalvexSmsRequest* r : {plain, extension, wide, concatenated}) ASSERT_TRUE(WaitOutcome(r));

  auto sent = modem.submitted();
  ASSERT_EQ(sent.size(), 6u);
  EXPECT_EQ(sent[0].pdu.recipient.text, "+46708251358");
  EXPECT_EQ(sent[0].pdu.recipient.type, 0x91);
  EXPECT_EQ(sent[0].pdu.text, u"Hello from the line");
  EXPECT_EQ(sent[0].pdu.encoding, Encoding::kGsm7);
  EXPECT_TRUE(sent[0].pdu.report_request);  // status reports are routed, so asked for
  EXPECT_EQ(sent[0].pdu.validity, 0xAA);
  EXPECT_EQ(sent[0].pdu.concat.total, 0);
  EXPECT_EQ(sent[1].pdu.text, extended);
  EXPECT_EQ(sent[1].pdu.encoding, Encoding::kGsm7);
  EXPECT_EQ(sent[2].pdu.text, ucs2);
  EXPECT_EQ(sent[2].pdu.encoding, Encoding::kUcs2);
  EXPECT_EQ(sent[2].pdu.recipient.text, "0701234567");
  EXPECT_EQ(sent[2].pdu.recipient.type, 0x81);
  std::u16string joined;
  for (size_t i = 3; i < 6; ++i) {
    EXPECT_EQ(sent[i].pdu.concat.total, 3);
    EXPECT_EQ(sent[i].pdu.concat.sequence, i - 2);
    EXPECT_EQ(sent[i].pdu.concat.reference, sent[3].pdu.concat.reference);
    joined += sent[i].pdu.text;
  }
  EXPECT_EQ(joined, long_text);
  EXPECT_NE(sent[3].pdu.concat.reference, 0);  // references differ from message to message: fourth message

  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a second outcome would arrive by now
  for (TalvexSmsRequest* r : {plain, extension, wide, concatenated})
    EXPECT_EQ(Outcomes(r), std::vector<int32_t>{TALVEX_OK});
}

TEST_F(AtDriverThroughExports, StatusReportsReachTheHostMatchedToTheirMessage) {
  ModemSim modem(Device(3));
  Configure({{3, 115200, "North"}});
  ASSERT_EQ(Start(), TALVEX_OK);
  ASSERT_TRUE(WaitState(3, 0));
  TalvexSmsRequest* r = Request(u"Track me");
  ASSERT_EQ(m.SendSMS(r), TALVEX_PENDING);
  ASSERT_TRUE(WaitOutcome(r));
  uint8_t reference = modem.submitted().at(0).reference;

  modem.ReportStatus(reference, 0x00);             // +CDS
  modem.ReportStatus(200, 0x46, /*stored=*/true);  // +CDSI for a reference never used
  ASSERT_TRUE(WaitReceived(TALVEX_DATA_STATUS_REPORT, 2));
  auto reports = Received(TALVEX_DATA_STATUS_REPORT);
  EXPECT_EQ(reports[0].raw->report_reference, reference);
  EXPECT_EQ(reports[0].raw->report_status, 0u);
  EXPECT_EQ(reports[0].originator, "+46708251358");
  EXPECT_EQ(reports[0].text, u"Track me");
  EXPECT_EQ(reports[1].raw->report_reference, 200u);
  EXPECT_EQ(reports[1].raw->report_status, 0x46u);
  EXPECT_EQ(reports[1].text, u"");
  EXPECT_TRUE(WaitUntil([&](const auto&) { return modem.stored_count() == 0; }));
  EXPECT_NE(DriverLog().find("unknown message reference 200"), std::string::npos);
}

// The host learns every part's reference from the receipt in its request,
// and a report that comes while a later part is still being submitted
// reaches it only after the outcome, when the receipt is there to match it.
TEST_F(AtDriverThroughExports, ALongMessageLeavesEveryPartsReferenceBeforeAnyOfItsReports) {
  ModemSim modem(Device(3));
  Configure({{3, 115200, "North"}});
  ASSERT_EQ(Start(), TALVEX_OK);
  ASSERT_TRUE(WaitState(3, 0));
  modem.SetSubmitDelay(400);
  TalvexSmsRequest* r = Request(std::u16string(200, u'x'));
  ASSERT_EQ(m.SendSMS(r), TALVEX_PENDING);
  ASSERT_TRUE(modem.WaitSubmitted(1));
  modem.ReportStatus(modem.submitted().at(0).reference, 0x00);  // while the second part waits for its answer
  ASSERT_TRUE(WaitOutcome(r));
  ASSERT_TRUE(WaitReceived(TALVEX_DATA_STATUS_REPORT, 1));
  ASSERT_EQ(Outcomes(r), std::vector<int32_t>{TALVEX_OK});

  auto all = events.All();
  auto outcome =
      std::find_if(all.begin(), all.end(), [](const HostEvent& e) { return e.kind == TALVEX_EVENT_OUTCOME; });
  auto report =
      std::find_if(all.begin(), all.end(), [](const HostEvent& e) { return e.data_kind == TALVEX_DATA_STATUS_REPORT; });
  EXPECT_LT(outcome - all.begin(), report - all.begin());

  TalvexSendReceipt receipt;
  std::memcpy(&receipt, r->driver_area, sizeof receipt);
  auto sent = modem.submitted();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(receipt.magic, TALVEX_RECEIPT_MAGIC);
  EXPECT_EQ(receipt.comport, 3u);
  ASSERT_EQ(receipt.parts, 2u);
  EXPECT_EQ(receipt.reference[0], sent[0].reference);
  EXPECT_EQ(receipt.reference[1], sent[1].reference);
  EXPECT_EQ(report->raw->report_reference, sent[0].reference);
}

TEST_F(AtDriverThroughExports, LineSettingsShapeTheModemSetup) {
  ModemSim cleaned(Device(3));
  cleaned.Store(ModemSim::DeliverPdu("+15550001", u"Old news"));
  cleaned.Store(ModemSim::DeliverPdu("+15550002", u"Older news"));
  ModemSim quiet(Device(4));
  // Clean SIM on COM3; on COM4 an override that allows no status reports and
  // no +CMTI routing (MT 0 or 2: the first value that is allowed is taken).
  Configure({{3, 115200, "Clean", {{"[cleansimenabled]", "1"}}},
             {4, 115200, "Quiet", {{"[cnmiparameters]", "(1-2)(0,2)(0)(0)(0)"}, {"[recenabled]", "0"}}}});
  ASSERT_EQ(Start(), TALVEX_OK);
  ASSERT_TRUE(WaitState(3, 0));
  ASSERT_TRUE(WaitState(4, 0));
  auto commands = cleaned.commands();
  EXPECT_NE(std::find(commands.begin(), commands.end(), "AT+CMGD=1,4"), commands.end());
  EXPECT_EQ(cleaned.stored_count(), 0u);
  commands = quiet.commands();
  EXPECT_NE(std::find(commands.begin(), commands.end(), "AT+CNMI=2,0,0,0,0"), commands.end());
  EXPECT_EQ(std::find(commands.begin(), commands.end(), "AT+CMGL=4"), commands.end());  // receives nothing

  // Messages are shared out between the ready lines; the quiet line asks for no report.
  TalvexSmsRequest* first = Request(u"One");
  TalvexSmsRequest* second = Request(u"Two");
  ASSERT_EQ(m.SendSMS(first), TALVEX_PENDING);
  ASSERT_EQ(m.SendSMS(second), TALVEX_PENDING);
  ASSERT_TRUE(cleaned.WaitSubmitted(1));
  ASSERT_TRUE(quiet.WaitSubmitted(1));
  EXPECT_TRUE(cleaned.submitted()[0].pdu.report_request);
  EXPECT_FALSE(quiet.submitted()[0].pdu.report_request);
  EXPECT_TRUE(Received(TALVEX_DATA_SMS).empty());  // cleaning deletes without delivering
}

TEST_F(AtDriverThroughExports, IncomingMessagesReachTheHostWholeAndLeaveTheSim) {
  ModemSim::Options options;
  options.acknowledge = true;
  ModemSim modem(Device(3), options);
  // Waiting on the SIM before the line starts, and one the network mangled.
  modem.Store(ModemSim::DeliverPdu("+15550001", u"Stored earlier"));
  modem.Store("07917283010010F5040BC87238880900F10000993092516195800AE8329BFD46");  // user data cut short
  Configure({{3, 115200, "North"}});
  ASSERT_EQ(Start(), TALVEX_OK);
  ASSERT_TRUE(WaitState(3, 0));
  ASSERT_TRUE(WaitReceived(TALVEX_DATA_SMS, 2));
  // Deleted only after the host had it: right after the callback, not before.
  EXPECT_TRUE(WaitUntil([&](const auto&) { return modem.stored_count() == 0; }));

  modem.DeliverStored(ModemSim::DeliverPdu("+15550002", u"Via the SIM \u20AC"));
  modem.DeliverDirect(ModemSim::DeliverPdu("Bank", u"\u0414\u0430", {}, true));
  // Two parts in reverse order, and a lone first part of another message.
  modem.DeliverStored(ModemSim::DeliverPdu("+15550003", u" world", {7, 2, 2}));
  modem.DeliverDirect(ModemSim::DeliverPdu("+15550003", u"Hello", {7, 2, 1}));
  modem.DeliverStored(ModemSim::DeliverPdu("+15550004", u"Half of it", {9, 2, 1}));
  ASSERT_TRUE(WaitReceived(TALVEX_DATA_SMS, 6));

  auto sms = Received(TALVEX_DATA_SMS);
  EXPECT_EQ(sms[0].originator, "+15550001");
  EXPECT_EQ(sms[0].text, u"Stored earlier");
  EXPECT_EQ(sms[0].raw->line, 3u);
  EXPECT_EQ(sms[1].originator, "27838890001");  // as far as it could be read
  EXPECT_EQ(sms[1].text, u"hello");
  sms.erase(sms.begin() + 1);
  EXPECT_EQ(sms[1].originator, "+15550002");
  EXPECT_EQ(sms[1].text, u"Via the SIM \u20AC");
  EXPECT_EQ(sms[2].originator, "Bank");
  EXPECT_EQ(sms[2].text, u"\u0414\u0430");
  EXPECT_EQ(sms[3].originator, "+15550003");
  EXPECT_EQ(sms[3].text, u"Hello world");
  EXPECT_EQ(sms[4].text, u"Half of it[\u2026]");  // after the reassembly time-out, the gap marked
  EXPECT_TRUE(WaitUntil([&](const auto&) { return modem.stored_count() == 0; }));
  EXPECT_EQ(modem.acknowledgements(), 2);  // one AT+CNMA per +CMT
  std::string log = DriverLog();
  EXPECT_NE(log.find("read only in part (user data shorter than its length)"), std::string::npos);
  EXPECT_NE(log.find("incomplete message from +15550004 (1 of 2 parts) delivered with \"[\xE2\x80\xA6]\" in place of "
                     "missing part(s) 2"),
            std::string::npos);
}

TEST_F(AtDriverThroughExports, IndicationsInTheMiddleOfAnAnswerAreNotLost) {
  ModemSim modem(Device(3));
  Configure({{3, 115200, "North"}});
  ASSERT_EQ(Start(), TALVEX_OK);
  ASSERT_TRUE(WaitState(3, 0));
  int index = modem.Store(ModemSim::DeliverPdu("+15550005", u"Squeezed in"));
  modem.InjectIntoNextAnswer("+CMTI: \"SM\"," + std::to_string(index));
  TalvexSmsRequest* r = Request(u"Out");
  ASSERT_EQ(m.SendSMS(r), TALVEX_PENDING);
  ASSERT_TRUE(WaitReceived(TALVEX_DATA_SMS, 1));
  EXPECT_EQ(Received(TALVEX_DATA_SMS)[0].text, u"Squeezed in");
  ASSERT_TRUE(WaitOutcome(r));
  EXPECT_EQ(Outcomes(r), std::vector<int32_t>{TALVEX_OK});
}

TEST_F(AtDriverThroughExports, SendErrorsAreRetriedThenReported) {
  ModemSim modem(Device(3));
  Configure({{3, 115200, "North", {{"[smsretry]", "2"}}}});
  ASSERT_EQ(Start(), TALVEX_OK);
  ASSERT_TRUE(WaitState(3, 0));
  modem.FailSubmits(2, 500);
  TalvexSmsRequest* recovered = Request(u"Third time lucky");
  ASSERT_EQ(m.SendSMS(recovered), TALVEX_PENDING);
  ASSERT_TRUE(WaitOutcome(recovered));
  EXPECT_EQ(Outcomes(recovered), std::vector<int32_t>{TALVEX_OK});

  modem.FailSubmits(3, 38);
  TalvexSmsRequest* refused = Request(u"Never");
  ASSERT_EQ(m.SendSMS(refused), TALVEX_PENDING);
  ASSERT_TRUE(WaitOutcome(refused));
  EXPECT_EQ(Outcomes(refused), std::vector<int32_t>{TALVEX_FAILED});
  EXPECT_EQ(modem.submitted().size(), 1u);
  std::string log = DriverLog();
  EXPECT_NE(log.find("+CMS ERROR 500 (unknown error)"), std::string::npos);
  EXPECT_NE(log.find("+CMS ERROR 38 (network out of order)"), std::string::npos);

  TalvexSmsRequest* bad = Request(u"Nowhere", "+12ab");
  ASSERT_EQ(m.SendSMS(bad), TALVEX_PENDING);
  ASSERT_TRUE(WaitOutcome(bad));
  EXPECT_EQ(Outcomes(bad), std::vector<int32_t>{TALVEX_INVALID_PARAMETER});
}

TEST_F(AtDriverThroughExports, AnUnpluggedModemFailsItsLineAndPendingSendsThenComesBack) {
  ModemSim modem(Device(3));
  Configure({{3, 115200, "North"}});
  ASSERT_EQ(Start(), TALVEX_OK);
  ASSERT_TRUE(WaitState(3, 0));
  modem.SetSubmitDelay(1000);
  TalvexSmsRequest* in_flight = Request(u"Unplugged mid-send");
  ASSERT_EQ(m.SendSMS(in_flight), TALVEX_PENDING);
  ASSERT_TRUE(modem.WaitCommand("AT+CMGS="));
  modem.Unplug();
  ASSERT_TRUE(WaitOutcome(in_flight));
  EXPECT_EQ(Outcomes(in_flight), std::vector<int32_t>{TALVEX_FAILED});
  ASSERT_TRUE(WaitState(3, at::kFailDeviceLost));
  ASSERT_TRUE(WaitUntil([&](const auto&) { return options->lines_failed == 1; }));
  TalvexSmsRequest* held = Request(u"Held for the line");  // waits for the line to come back
  EXPECT_EQ(m.SendSMS(held), TALVEX_PENDING);

  modem.SetSubmitDelay(0);
  modem.Replug();
  ASSERT_TRUE(WaitState(3, 0, 2));
  ASSERT_TRUE(WaitOutcome(held));
  EXPECT_EQ(Outcomes(held), std::vector<int32_t>{TALVEX_OK});
  TalvexSmsRequest* after = Request(u"Back again");
  ASSERT_EQ(m.SendSMS(after), TALVEX_PENDING);
  ASSERT_TRUE(WaitOutcome(after));
  EXPECT_EQ(Outcomes(after), std::vector<int32_t>{TALVEX_OK});
  EXPECT_EQ(modem.submitted().back().pdu.text, u"Back again");
}

// Sends that waited behind a slow one on a ready line start their wait for
// a ready line when it drops, not from when they were sent: a line back
// within that wait sends them all.
TEST_F(AtDriverThroughExports, HeldSendsWaitFromWhenTheLineDropped) {
  setenv("TALVENIX_AT_TIMING", "command=500,submit=3000,keepalive=400,backoff=100,backoffmax=200,reassembly=400", 1);
  ModemSim modem(Device(3));
  Configure({{3, 115200, "North"}});
  ASSERT_EQ(Start(), TALVEX_OK);
  ASSERT_TRUE(WaitState(3, 0));
  modem.SetSubmitDelay(2800);  // the modem is free again once replugged
  const auto sent = std::chrono::steady_clock::now();
  TalvexSmsRequest* slow = Request(u"Slow");
  ASSERT_EQ(m.SendSMS(slow), TALVEX_PENDING);
  std::vector<TalvexSmsRequest*> waiting;
  for (int i = 0; i < 3; ++i) {
    waiting.push_back(Request(u"Waiting " + std::u16string(1, static_cast<char16_t>(u'1' + i))));
    ASSERT_EQ(m.SendSMS(waiting.back()), TALVEX_PENDING);
  }
  ASSERT_TRUE(modem.WaitCommand("AT+CMGS="));
  std::this_thread::sleep_until(sent + std::chrono::milliseconds(2500));
  modem.Unplug();  // 2.5 s after the sends: 0.5 s of their 3 s wait left, counted from the send
  ASSERT_TRUE(WaitOutcome(slow));
  std::this_thread::sleep_until(sent + std::chrono::milliseconds(3200));
  modem.SetSubmitDelay(0);
  modem.Replug();
  for (TalvexSmsRequest* r : waiting) {
    ASSERT_TRUE(WaitOutcome(r));
    EXPECT_EQ(Outcomes(r), std::vector<int32_t>{TALVEX_OK}) << DriverLog();
  }
}

TEST_F(AtDriverThroughExports, LinesThatCannotStartSayWhy) {
  ModemSim::Options pin;
  pin.pin = "0000";
  ModemSim locked(Device(3), pin);
  ModemSim::Options quiet;
  quiet.silent = true;
  ModemSim silent(Device(4), quiet);
  ModemSim held(Device(5));
  DeviceHold holder(Device(5));
  ASSERT_TRUE(holder.held());  // another program owns this modem
  folder.Write("plain-file", "not a modem");
  Configure({{3, 9600, "PIN"}, {4, 9600, "Silent"}, {5, 9600, "Held"}, {6, 9600, "Missing"}, {7, 9600, "File"}});
  WriteHostSettings("[serialports]\nCOM3=" + Device(3) + "\nCOM4=" + Device(4) + "\nCOM5=" + Device(5) +
                    "\nCOM6=" + Device(6) + "\nCOM7=" + (folder.path() / "plain-file").string() + "\n");
  ASSERT_EQ(Start(), TALVEX_OK);
  EXPECT_TRUE(WaitState(3, at::kFailSimLocked));
  EXPECT_TRUE(WaitState(4, at::kFailNoAnswer)) << DriverLog();
  EXPECT_TRUE(WaitState(5, at::kFailDeviceBusy));
  EXPECT_TRUE(WaitState(6, at::kFailDeviceMissing));
  EXPECT_TRUE(WaitState(7, at::kFailDeviceMissing));
  TalvexSmsRequest* stuck = Request(u"Stuck");  // held until the submit limit, then failed
  EXPECT_EQ(m.SendSMS(stuck), TALVEX_PENDING);
  ASSERT_TRUE(WaitOutcome(stuck));
  EXPECT_EQ(Outcomes(stuck), std::vector<int32_t>{TALVEX_FAILED});
  std::string log = DriverLog();
  EXPECT_NE(log.find("the SIM needs SIM PIN; set it as [simpins] COM3"), std::string::npos);
  EXPECT_NE(log.find("(not a serial device)"), std::string::npos);
  EXPECT_NE(log.find(holder.LogNote()), std::string::npos);
  EXPECT_EQ(log.find("COM4: the device went away"), std::string::npos);  // silent, not gone
}

TEST_F(AtDriverThroughExports, ShutdownEndsPendingSendsAtOnce) {
  ModemSim modem(Device(3));
  ModemSim other(Device(4));
  Configure({{3, 115200, "North"}, {4, 115200, "South"}});
  ASSERT_EQ(Start(), TALVEX_OK);
  ASSERT_TRUE(WaitState(3, 0));
  ASSERT_TRUE(WaitState(4, 0));
  modem.SetSubmitDelay(60000);
  other.SetSubmitDelay(60000);
  std::vector<TalvexSmsRequest*> pending;
  for (int i = 0; i < 4; ++i) {
    pending.push_back(Request(u"Waiting"));
    ASSERT_EQ(m.SendSMS(pending.back()), TALVEX_PENDING);
  }
  ASSERT_TRUE(modem.WaitCommand("AT+CMGS="));
  ASSERT_TRUE(other.WaitCommand("AT+CMGS="));  // both lines carry messages: they take turns
  m.Unint();
  for (TalvexSmsRequest* r : pending) EXPECT_EQ(Outcomes(r), std::vector<int32_t>{12});
}

}  // namespace
}  // namespace talvenix::testing
