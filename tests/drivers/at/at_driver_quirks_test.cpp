// SPDX-License-Identifier: Apache-2.0
// The AT driver against modems that behave like awkward real hardware: late
// answers, stale results, status codes inside answers, refused or forgotten
// indication settings, a busy network, PINs. What the modem received is read
// back by an independent codec where the count of messages matters.

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <string_view>

#include "drivers/at/at_driver_fixture.hpp"
#include "drivers/at/at_settings.hpp"
#include "drivers/at/gammu_pdu.hpp"
#include "support/value_cipher.hpp"

namespace talvenix::testing {
namespace {

class AtDriverQuirks : public AtDriverFixture {
 protected:
  // One line on COM3, started and ready.
  void StartReadyLine() {
    Configure({{3, 115200, "North"}});
    ASSERT_EQ(Start(), TALVEX_OK);
    ASSERT_TRUE(WaitState(3, 0));
  }
  size_t CommandsStarting(ModemSim& modem, const std::string& prefix) {
    auto commands = modem.commands();
    return static_cast<size_t>(
        std::count_if(commands.begin(), commands.end(), [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }));
  }
  std::vector<std::string> SubmittedHex(ModemSim& modem) {
    std::vector<std::string> hex;
    for (const ModemSim::Submitted& s : modem.submitted()) hex.push_back(s.hex);
    return hex;
  }
  bool AnyFailureState(int port) {
    for (const HostEvent& e : events.OfKind(TALVEX_EVENT_LINE_STATE))
      if (e.extra == port && e.code != 0) return true;
    return false;
  }
};

// ---- Late answers ---------------------------------------------------------------

// Every message reported sent went to the network and was acknowledged, over
// many sends to a modem that sometimes answers after the submit limit and
// reads nothing meanwhile.
TEST_F(AtDriverQuirks, AModemThatAnswersLateAtRandomNeverGetsAMessageReportedSentWithoutSubmission) {
  setenv("TALVENIX_AT_TIMING", "command=500,submit=40,keepalive=60000,backoff=20,backoffmax=100", 1);
  ModemSim modem(Device(3));
  modem.SetLateSubmits(5, 45, 100, 20261208);
  ASSERT_NO_FATAL_FAILURE(StartReadyLine());
#ifdef _WIN32
  constexpr int kSends = 400;  // under Wine each send costs about five times as much: within its time limit
#else
  constexpr int kSends = 1000;
#endif
  std::vector<TalvexSmsRequest*> sent;
  for (int i = 0; i < kSends; ++i) {
    std::u16string text = u"Message " + Utf8ToUtf16(std::to_string(i));
    sent.push_back(Request(text));
    ASSERT_EQ(m.SendSMS(sent.back()), TALVEX_PENDING);
  }
  ASSERT_TRUE(WaitUntil([&](const auto&) { return events.OfKind(TALVEX_EVENT_OUTCOME).size() >= kSends; }, 180000));
  std::set<std::u16string> acknowledged;
  for (const GammuSubmit& s : GammuDecode(SubmittedHex(modem))) {
    EXPECT_EQ(s.number, "+46708251358");
    acknowledged.insert(s.text);
  }
  int reported_sent = 0;
  for (int i = 0; i < kSends; ++i) {
    std::vector<int32_t> outcomes = Outcomes(sent[i]);
    ASSERT_EQ(outcomes.size(), 1u) << i;
    if (outcomes[0] != TALVEX_OK) continue;
    ++reported_sent;
    EXPECT_TRUE(acknowledged.count(u"Message " + Utf8ToUtf16(std::to_string(i))))
        << "reported sent, never submitted: " << i;
  }
  EXPECT_GT(reported_sent, kSends * 9 / 10);  // late answers are caught, not given up
  EXPECT_NE(DriverLog().find("was answered after the submit limit: sent"), std::string::npos);
}

// A modem that keeps answering while a submission is out: the answer of one
// given up on comes while the next one waits for its own. It belongs to the
// first (whose status report then finds it); the second is decided by its own.
TEST_F(AtDriverQuirks, ALateSubmitAnswerIsNeverCreditedToTheNextMessage) {
  setenv("TALVENIX_AT_TIMING", "command=300,submit=1000,keepalive=60000,backoff=20,backoffmax=100", 1);
  ModemSim modem(Device(3));
  Configure({{3, 115200, "North", {{"[smsretry]", "0"}}}});
  ASSERT_EQ(Start(), TALVEX_OK);
  ASSERT_TRUE(WaitState(3, 0));
  // The second answers 1.6 s after its PDU, past its limit; the third is
  // refused 0.8 s after its PDU, which went out about 1 s after the second's.
  modem.AnswerSubmitsLater({0, 1600, 800});
  TalvexSmsRequest* first = Request(u"First");
  ASSERT_EQ(m.SendSMS(first), TALVEX_PENDING);
  ASSERT_TRUE(WaitOutcome(first));
  TalvexSmsRequest* second = Request(u"Second");
  ASSERT_EQ(m.SendSMS(second), TALVEX_PENDING);
  ASSERT_TRUE(modem.WaitSubmitted(2));
  modem.FailSubmits(1, 500);
  TalvexSmsRequest* third = Request(u"Third");
  ASSERT_EQ(m.SendSMS(third), TALVEX_PENDING);
  ASSERT_TRUE(WaitOutcome(third, 10000));
  EXPECT_EQ(Outcomes(first), std::vector<int32_t>{TALVEX_OK});
  EXPECT_EQ(Outcomes(second), std::vector<int32_t>{TALVEX_FAILED});  // reported at its limit, before its answer
  EXPECT_EQ(Outcomes(third), std::vector<int32_t>{TALVEX_FAILED});
  EXPECT_NE(DriverLog().find("to part 1 of 1 to +46708251358, already reported: recorded as sent"), std::string::npos)
      << DriverLog();

  modem.ReportStatus(modem.submitted().at(1).reference, 0x00);
  ASSERT_TRUE(WaitReceived(TALVEX_DATA_STATUS_REPORT, 1));
  EXPECT_EQ(Received(TALVEX_DATA_STATUS_REPORT)[0].text, u"Second");
}

TEST_F(AtDriverQuirks, AStaleOkBeforeThePromptIsNoSubmission) {
  ModemSim::Options options;
  options.stale_ok = true;
  options.prompt = ">";  // and no blank after the prompt
  ModemSim modem(Device(3), options);
  ASSERT_NO_FATAL_FAILURE(StartReadyLine());
  std::vector<TalvexSmsRequest*> sent = {Request(u"One"), Request(u"Two"), Request(u"Three")};
  for (TalvexSmsRequest* r : sent) ASSERT_EQ(m.SendSMS(r), TALVEX_PENDING);
  for (TalvexSmsRequest* r : sent) ASSERT_TRUE(WaitOutcome(r));
  for (TalvexSmsRequest* r : sent) EXPECT_EQ(Outcomes(r), std::vector<int32_t>{TALVEX_OK});
  auto decoded = GammuDecode(SubmittedHex(modem));
  ASSERT_EQ(decoded.size(), 3u);
  EXPECT_EQ(decoded[0].text, u"One");
  EXPECT_EQ(decoded[2].text, u"Three");
}

// ---- Lost indications -------------------------------------------------------------

TEST_F(AtDriverQuirks, AModemThatRefusesEveryCnmiStillHandsOverWhatItStores) {
  ModemSim::Options options;
  options.refuse_cnmi = true;
  ModemSim modem(Device(3), options);
  ASSERT_NO_FATAL_FAILURE(StartReadyLine());
  modem.DeliverStored(ModemSim::DeliverPdu("+15550001", u"Nobody announced me"));  // no +CMTI
  ASSERT_TRUE(WaitReceived(TALVEX_DATA_SMS, 1));
  EXPECT_EQ(Received(TALVEX_DATA_SMS)[0].text, u"Nobody announced me");
  EXPECT_TRUE(WaitUntil([&](const auto&) { return modem.stored_count() == 0; }));
  EXPECT_NE(DriverLog().find("refused as well; the modem may announce nothing, the SIM is polled"), std::string::npos);
}

TEST_F(AtDriverQuirks, SmsCommandsRefusedForAMomentAfterStartAreWaitedFor) {
  ModemSim::Options options;
  options.not_ready_ms = 300;
  ModemSim modem(Device(3), options);
  modem.Store(ModemSim::DeliverPdu("+15550001", u"Waiting since boot"));
  ASSERT_NO_FATAL_FAILURE(StartReadyLine());
  EXPECT_FALSE(AnyFailureState(3));
  ASSERT_TRUE(WaitReceived(TALVEX_DATA_SMS, 1));
  auto commands = modem.commands();
  EXPECT_NE(std::find(commands.begin(), commands.end(), "AT+CNMI=2,1,0,1,0"), commands.end());
}

TEST_F(AtDriverQuirks, AModemThatRestartsBehindTheLineIsInitialisedAgain) {
  ModemSim modem(Device(3));
  ASSERT_NO_FATAL_FAILURE(StartReadyLine());
  ASSERT_EQ(CommandsStarting(modem, "AT+CNMI="), 1u);
  for (const char* banner : {"RDY", "SMS Ready", "+CFUN: 1"}) {
    size_t before = CommandsStarting(modem, "AT+CNMI=");
    modem.Restart(banner);
    ASSERT_TRUE(WaitUntil([&](const auto&) { return CommandsStarting(modem, "AT+CNMI=") > before; })) << banner;
  }
  modem.DeliverStored(ModemSim::DeliverPdu("+15550001", u"After the restart"));
  ASSERT_TRUE(WaitReceived(TALVEX_DATA_SMS, 1));
  EXPECT_NE(DriverLog().find("the modem restarted (RDY)"), std::string::npos);
}

// ---- Status codes inside answers ------------------------------------------------------

TEST_F(AtDriverQuirks, StatusCodesBetweenTheHeaderAndThePduAreSkipped) {
  ModemSim::Options signal, registration;
  signal.amid_reads = "^RSSI:15";
  registration.amid_reads = "+CREG: 1";
  ModemSim first(Device(3), signal);
  ModemSim second(Device(4), registration);
  for (ModemSim* modem : {&first, &second}) modem->Store(ModemSim::DeliverPdu("+15550001", u"Listed"));  // AT+CMGL
  Configure({{3, 115200, "Signal"}, {4, 115200, "Registration"}});
  ASSERT_EQ(Start(), TALVEX_OK);
  ASSERT_TRUE(WaitState(3, 0));
  ASSERT_TRUE(WaitState(4, 0));
  ASSERT_TRUE(WaitReceived(TALVEX_DATA_SMS, 2));
  for (ModemSim* modem : {&first, &second})
    modem->DeliverStored(ModemSim::DeliverPdu("+15550002", u"Announced"));  // AT+CMGR
  ASSERT_TRUE(WaitReceived(TALVEX_DATA_SMS, 4));
  std::map<std::u16string, int> texts;
  for (const HostEvent& e : Received(TALVEX_DATA_SMS)) ++texts[e.text];
  EXPECT_EQ(texts, (std::map<std::u16string, int>{{u"Listed", 2}, {u"Announced", 2}}));
  EXPECT_TRUE(WaitUntil([&](const auto&) { return first.stored_count() + second.stored_count() == 0; }));
}

TEST_F(AtDriverQuirks, AMessageThatCannotBeReadWholeIsDeliveredAsFarAsItGoes) {
  ModemSim modem(Device(3));
  // Data coding 0x24 (compressed): no decoder knows it; the data bytes are delivered, 0 included.
  modem.Store(
      "07917283010010F5040B917238880900F1002499309251619580"
      "03"
      "41004A");
  Configure({{3, 115200, "North"}});
  ASSERT_EQ(Start(), TALVEX_OK);
  ASSERT_TRUE(WaitReceived(TALVEX_DATA_SMS, 1));
  EXPECT_EQ(Received(TALVEX_DATA_SMS)[0].text, u"A\u2400J");
  EXPECT_EQ(Received(TALVEX_DATA_SMS)[0].originator, "+27838890001");
  EXPECT_TRUE(WaitUntil([&](const auto&) { return modem.stored_count() == 0; }));
  EXPECT_NE(DriverLog().find("unknown data coding 0x24, read as 8-bit data), delivered as far as it was read: "
                             "07917283010010F5040B917238880900F10024993092516195800341004A"),
            std::string::npos);
}

// ---- Error classes and the network -----------------------------------------------------

TEST_F(AtDriverQuirks, TemporaryErrorsAreSentAgainAndPermanentOnesAreNot) {
  ModemSim modem(Device(3));
  ASSERT_NO_FATAL_FAILURE(StartReadyLine());
  modem.FailSubmits(1, 331);
  TalvexSmsRequest* later = Request(u"No network for a moment");
  ASSERT_EQ(m.SendSMS(later), TALVEX_PENDING);
  ASSERT_TRUE(WaitOutcome(later));
  EXPECT_EQ(Outcomes(later), std::vector<int32_t>{TALVEX_OK});
  EXPECT_EQ(CommandsStarting(modem, "AT+CMGS="), 2u);
  for (int code : {1, 304}) {
    size_t before = CommandsStarting(modem, "AT+CMGS=");
    modem.FailSubmits(5, code);
    TalvexSmsRequest* refused = Request(u"Refused");
    ASSERT_EQ(m.SendSMS(refused), TALVEX_PENDING);
    ASSERT_TRUE(WaitOutcome(refused));
    EXPECT_EQ(Outcomes(refused), std::vector<int32_t>{TALVEX_FAILED}) << code;
    EXPECT_EQ(CommandsStarting(modem, "AT+CMGS="), before + 1) << code;
  }
  std::string log = DriverLog();
  EXPECT_NE(log.find("+CMS ERROR 331 (no network service) for part 1 of 1 to +46708251358: temporary; sending again"),
            std::string::npos);
  EXPECT_NE(log.find("+CMS ERROR 1 (unassigned (unallocated) number) for part 1 of 1 to +46708251358: permanent: the "
                     "destination; not sent"),
            std::string::npos);
  EXPECT_NE(log.find("+CMS ERROR 304 (invalid PDU mode parameter) for part 1 of 1 to +46708251358: permanent: the "
                     "message; not sent"),
            std::string::npos);
}

TEST_F(AtDriverQuirks, AMessageTheSimCouldNotReadIsReadLaterNotDeleted) {
  ModemSim modem(Device(3));
  ASSERT_NO_FATAL_FAILURE(StartReadyLine());
  modem.FailReads(1, 314);  // SIM busy
  modem.DeliverStored(ModemSim::DeliverPdu("+15550001", u"Read me later"));
  ASSERT_TRUE(WaitReceived(TALVEX_DATA_SMS, 1));
  EXPECT_EQ(Received(TALVEX_DATA_SMS)[0].text, u"Read me later");
  EXPECT_NE(DriverLog().find("could not be read (error 314); it is left there"), std::string::npos);
}

TEST_F(AtDriverQuirks, ALineIsReadyOnlyWhenRegisteredAndHoldsSendsMeanwhile) {
  ModemSim modem(Device(3));
  modem.SetRegistration(2);  // searching
  Configure({{3, 115200, "North"}});
  ASSERT_EQ(Start(), TALVEX_OK);
  ASSERT_TRUE(WaitState(3, at::kWaitNetwork));
  TalvexSmsRequest* held = Request(u"Wait for the network");
  ASSERT_EQ(m.SendSMS(held), TALVEX_PENDING);
  EXPECT_EQ(States(3, 0), 0u);
  modem.SetRegistration(5);  // roaming will do
  ASSERT_TRUE(WaitState(3, 0));
  ASSERT_TRUE(WaitOutcome(held));
  EXPECT_EQ(Outcomes(held), std::vector<int32_t>{TALVEX_OK});

  modem.SetRegistration(3);  // denied: found by the next poll
  ASSERT_TRUE(WaitState(3, at::kWaitNetwork, 2));
  modem.SetRegistration(1);
  ASSERT_TRUE(WaitState(3, 0, 2));
}

// ---- Parts on the wire ------------------------------------------------------------------

// The engine cuts a modem line's text to what fits in "maxsmssplit" parts
// as the modem will carry it: `{` takes two septets, a backtick or a tab
// needs UCS-2. The host's buffer shows exactly what the modem received.
TEST_F(AtDriverQuirks, NoMessageGoesOutInMorePartsThanAllowed) {
  ModemSim modem(Device(3));
  ASSERT_NO_FATAL_FAILURE(StartReadyLine());
  std::u16string backtick(599, u'a');
  backtick.insert(10, 1, u'`');
  struct Case {
    std::u16string text;
    size_t kept;
  };
  std::vector<Case> cases = {{backtick, 3 * 63},
                             {std::u16string(600, u'{'), 3 * 76},
                             {std::u16string(600, u'\u00C4'), 3 * 153},
                             {u"tab\t" + std::u16string(596, u'x'), 3 * 63}};
  size_t submitted = 0;
  for (const Case& c : cases) {
    TalvexSmsRequest* r = Request(c.text);
    ASSERT_EQ(m.SendSMS(r), TALVEX_PENDING);
    ASSERT_TRUE(WaitOutcome(r));
    ASSERT_EQ(Outcomes(r), std::vector<int32_t>{TALVEX_OK});
    std::u16string kept(r->text);
    EXPECT_EQ(kept.size(), c.kept);
    EXPECT_EQ(kept, c.text.substr(0, kept.size()));
    auto all = GammuDecode(SubmittedHex(modem));
    ASSERT_GT(all.size(), submitted);
    std::u16string joined;
    for (size_t i = submitted; i < all.size(); ++i) joined += all[i].text;
    EXPECT_EQ(all.size() - submitted, 3u);
    EXPECT_EQ(joined, kept);
    submitted = all.size();
  }
}

// ---- Parts of long incoming messages ---------------------------------------------------

// A part stays on the SIM until its whole message reached the host: a stop
// between the parts loses nothing and splits nothing.
TEST_F(AtDriverQuirks, PartsWaitOnTheSimAcrossARestart) {
  setenv("TALVENIX_AT_TIMING", "command=500,submit=1500,keepalive=400,backoff=100,backoffmax=200,reassembly=60000", 1);
  ModemSim modem(Device(3));
  ASSERT_NO_FATAL_FAILURE(StartReadyLine());
  modem.DeliverStored(ModemSim::DeliverPdu("+15550001", u"Your code is ", {7, 2, 1}));
  ASSERT_TRUE(modem.WaitCommand("AT+CMGR="));
  auto commands = modem.commands();
  size_t read = static_cast<size_t>(std::find(commands.begin(), commands.end(), "AT+CMGR=1") - commands.begin());
  // Whatever the line sends next, it sends once the part was handled.
  ASSERT_TRUE(WaitUntil([&](const auto&) { return modem.commands().size() > read + 1; }));
  m.Unint();
  EXPECT_EQ(modem.stored_count(), 1u);
  EXPECT_TRUE(Received(TALVEX_DATA_SMS).empty());

  modem.Store(ModemSim::DeliverPdu("+15550001", u"482913", {7, 2, 2}));  // arrives while the line is down
  ASSERT_EQ(Start(), TALVEX_OK);
  ASSERT_TRUE(WaitReceived(TALVEX_DATA_SMS, 1));
  EXPECT_EQ(Received(TALVEX_DATA_SMS)[0].text, u"Your code is 482913");
  EXPECT_TRUE(WaitUntil([&](const auto&) { return modem.stored_count() == 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a second delivery would arrive by now
  EXPECT_EQ(Received(TALVEX_DATA_SMS).size(), 1u);
}

// A gap longer than the time limit: the parts that came are delivered with the
// gaps marked and leave the SIM only then; the late part comes on its own.
TEST_F(AtDriverQuirks, APartWhoseRestComesTooLateLeavesTheSimOnlyWhenDelivered) {
  setenv("TALVENIX_AT_TIMING", "command=500,submit=1500,keepalive=400,backoff=100,backoffmax=200,reassembly=1500", 1);
  ModemSim modem(Device(3));
  ASSERT_NO_FATAL_FAILURE(StartReadyLine());
  modem.DeliverStored(ModemSim::DeliverPdu("+15550001", u"Your code is ", {7, 4, 1}));
  modem.DeliverStored(ModemSim::DeliverPdu("+15550001", u"; valid for", {7, 4, 3}));
  ASSERT_TRUE(modem.WaitCommand("AT+CMGR="));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // a poll or two meanwhile: read once only
  EXPECT_EQ(modem.stored_count(), 2u);
  ASSERT_TRUE(WaitReceived(TALVEX_DATA_SMS, 1));
  EXPECT_EQ(Received(TALVEX_DATA_SMS)[0].text, u"Your code is [\u2026]; valid for[\u2026]");
  EXPECT_TRUE(WaitUntil([&](const auto&) { return modem.stored_count() == 0; }));
  EXPECT_NE(DriverLog().find("(2 of 4 parts) delivered with \"[\xE2\x80\xA6]\" in place of missing part(s) 2, 4"),
            std::string::npos);
  modem.DeliverStored(ModemSim::DeliverPdu("+15550001", u"482913", {7, 4, 2}));
  ASSERT_TRUE(WaitReceived(TALVEX_DATA_SMS, 2, 5000));
  EXPECT_EQ(Received(TALVEX_DATA_SMS).size(), 2u);
  EXPECT_EQ(Received(TALVEX_DATA_SMS)[1].text, u"[\u2026]482913[\u2026]");
}

// ---- The SIM's PIN --------------------------------------------------------------------

TEST_F(AtDriverQuirks, AReadySimIsAcceptedInQuotesAndAPinIsEnteredOnceFromItsCipher) {
  ModemSim::Options quoted;
  quoted.cpin_ready = "\"READY\"";
  ModemSim plain(Device(3), quoted);
  ModemSim::Options locked;
  locked.pin = "4321";
  ModemSim right(Device(4), locked);
  ModemSim wrong(Device(5), locked);
  Configure({{3, 115200, "Quoted"}, {4, 115200, "Right"}, {5, 115200, "Wrong"}});
  WriteHostSettings("[serialports]\nCOM3=" + Device(3) + "\nCOM4=" + Device(4) + "\nCOM5=" + Device(5) +
                    "\n[simpins]\nCOM4=" + EncipherValue("4321") + "\nCOM5=1234\n");
  ASSERT_EQ(Start(), TALVEX_OK);
  ASSERT_TRUE(WaitState(3, 0));
  ASSERT_TRUE(WaitState(4, 0));
  ASSERT_TRUE(WaitState(5, at::kFailSimLocked));
  EXPECT_EQ(right.pin_attempts(), 1);
  // The wrong PIN line reopens with a growing pause; the PIN is never offered again.
  ASSERT_TRUE(WaitUntil([&](const auto&) { return CommandsStarting(wrong, "AT+CPIN?") >= 3; }));
  EXPECT_EQ(wrong.pin_attempts(), 1);
  std::string log = DriverLog();
  EXPECT_NE(log.find("the SIM refused the PIN of [simpins] COM5; it is not offered again"), std::string::npos);
  // A PIN never reaches the log. Only the messages are searched: a line's
  // prefix holds the thread id, whose digits may be anything.
  std::string messages;
  for (size_t at = 0; at < log.size();) {
    size_t end = std::min(log.find('\n', at), log.size());
    std::string_view line(log.data() + at, end - at);
    size_t thread = line.find("] [");
    size_t body = thread == line.npos ? line.npos : line.find("] ", thread + 3);
    messages += line.substr(body == line.npos ? 0 : body + 2);
    messages += '\n';
    at = end + 1;
  }
  EXPECT_EQ(messages.find("1234"), std::string::npos);
  // The enciphered PIN was entered as its digits; the one in clear is named.
  EXPECT_NE(log.find("the PIN of [simpins] COM5 is stored in clear"), std::string::npos);
  EXPECT_EQ(log.find("the PIN of [simpins] COM4 is stored in clear"), std::string::npos);
}

// A host settings file that cannot be read names no device: guessing
// /dev/ttyUSB<N-1> then could open another line's modem.
TEST_F(AtDriverQuirks, AnUnreadableHostSettingsFileOpensNoGuessedDevice) {
  ModemSim modem(Device(3));
  Configure({{3, 115200, "North"}});
  folder.Write("talvenix-host.ini", "[serialports]\nCOM3=" + Device(3) + "\nthis line has no value\n");
  EXPECT_EQ(at::DevicePathOf(3), "");
  ASSERT_EQ(Start(), TALVEX_OK);
  ASSERT_TRUE(WaitState(3, at::kFailDeviceMissing));
  EXPECT_NE(DriverLog().find("cannot be read, so the device of COM3 is unknown"), std::string::npos);
  folder.Write("talvenix-host.ini", "[serialports]\nCOM4=" + Device(4) + "\n");
  EXPECT_EQ(at::DevicePathOf(3), "/dev/ttyUSB2");  // a readable file without the port keeps the default
}

}  // namespace
}  // namespace talvenix::testing
