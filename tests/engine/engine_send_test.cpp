// SPDX-License-Identifier: Apache-2.0
// The engine's message rules: splitting, UTF-16 detection, cutting, and what
// the host's buffer holds afterwards.

#include <gtest/gtest.h>

#include "engine/engine_fixture.hpp"

namespace talvenix::testing {
namespace {

class EngineSend : public ::testing::Test {
 protected:
  void Start(uint32_t capabilities = 0, std::vector<int32_t> codes = {}) {
    engine.capabilities = capabilities;
    engine.codes = std::move(codes);
    TalvexGenericOptions* options = nullptr;
    ASSERT_EQ(engine.Initialize(7, Callback, &options, "qvsmscomms.xml", "sms"), TALVEX_OK);
    ASSERT_NE(engine.gateway, nullptr);
  }
  static int32_t Callback(int32_t, int32_t, uint32_t, uintptr_t, void*, uint32_t) { return 0; }
  std::vector<std::u16string>& parts() { return engine.gateway->parts; }

  RecordingLogger log;
  FakeDocument doc;
  TestEngine engine{&log, &doc};
};

std::u16string Ascii(size_t n, char16_t c = u'a') { return std::u16string(n, c); }

TEST_F(EngineSend, SplitsIntoPartsAndKeepsWhatWentOut) {
  Start();
  HostRequest r(Ascii(160) + Ascii(40, u'b'));
  EXPECT_EQ(engine.SendSMS(r.request.get()), TALVEX_OK);
  ASSERT_EQ(parts().size(), 2u);
  EXPECT_EQ(parts()[0], Ascii(160));
  EXPECT_EQ(parts()[1], Ascii(40, u'b'));
  EXPECT_EQ(r.HostText(), Ascii(160) + Ascii(40, u'b'));
  EXPECT_EQ(r.request->part, nullptr);  // cleared after each call
  EXPECT_EQ(engine.gateway->ones, (std::vector<uint32_t>{1, 1}));
  EXPECT_TRUE(log.HasText("GSMEngine::Sending: SentSMS 1, MaxSMS: 3, MaxCharPerSMS: 160, SendingMsgWith: 40"));
  EXPECT_TRUE(log.HasText("GSMEngine::SMSSentInfo: NumSent: 2, NumCharacters: 200"));
}

TEST_F(EngineSend, ExactMultipleSendsNoEmptyPartAndLongTextIsCut) {
  Start();
  HostRequest exact(Ascii(320));
  EXPECT_EQ(engine.SendSMS(exact.request.get()), TALVEX_OK);
  EXPECT_EQ(parts().size(), 2u);

  parts().clear();
  HostRequest longer(Ascii(600));
  EXPECT_EQ(engine.SendSMS(longer.request.get()), TALVEX_OK);
  EXPECT_EQ(parts().size(), 3u);
  EXPECT_EQ(longer.HostText(), Ascii(480));  // the rest is dropped without an error
}

TEST_F(EngineSend, WithoutSplittingOnePartIsSentAndTheBufferIsCut) {
  doc.options["splitsms"] = "no";
  Start();
  HostRequest r(Ascii(200));
  EXPECT_EQ(engine.SendSMS(r.request.get()), TALVEX_OK);
  ASSERT_EQ(parts().size(), 1u);
  EXPECT_EQ(parts()[0].size(), 160u);
  EXPECT_EQ(r.HostText(), Ascii(160));
}

TEST_F(EngineSend, OneCharacterAbove126NeedsUtf16PartsOf70UnlessDisabled) {
  Start();
  std::u16string text = Ascii(99) + u"\u00e9";  // 100 characters
  HostRequest r(text);
  EXPECT_EQ(engine.SendSMS(r.request.get()), TALVEX_OK);
  ASSERT_EQ(parts().size(), 2u);
  EXPECT_EQ(parts()[0].size(), 70u);
  EXPECT_EQ(parts()[1].size(), 30u);
  EXPECT_TRUE(log.HasText("GSMEngine::SendSMS - Unicode Not Disabled."));

  // Character 127 itself counts.
  parts().clear();
  HostRequest del(Ascii(99) + u"\x7f");
  engine.SendSMS(del.request.get());
  EXPECT_EQ(parts().size(), 2u);
}

TEST_F(EngineSend, DisabledUnicodeKeepsConfiguredPartSizeAndPassesTheFlag) {
  doc.options["disableunicode"] = "1";
  Start();
  HostRequest r(Ascii(99) + u"\u00e9");
  engine.SendSMS(r.request.get());
  ASSERT_EQ(parts().size(), 1u);
  EXPECT_EQ(engine.gateway->unicode_flags, std::vector<uint32_t>{1});
  EXPECT_TRUE(log.HasText("GSMEngine::SendSMS - Unicode Disabled."));
}

TEST_F(EngineSend, EmptyTextSendsNothingAndFails) {
  Start();
  HostRequest r(u"");
  EXPECT_EQ(engine.SendSMS(r.request.get()), TALVEX_FAILED);
  EXPECT_TRUE(parts().empty());
}

TEST_F(EngineSend, FailingSecondPartStopsAndLeavesTheFirstInTheBuffer) {
  Start(0, {TALVEX_OK, TALVEX_FAILED});
  HostRequest r(Ascii(160) + Ascii(100, u'b'));
  EXPECT_EQ(engine.SendSMS(r.request.get()), TALVEX_FAILED);
  EXPECT_EQ(parts().size(), 2u);
  EXPECT_EQ(r.HostText(), Ascii(160));
  EXPECT_TRUE(log.Has(Severity::Error, "GSMEngine::SendSMS - failed. [qverc: 1]"));
}

// A gateway the engine splits for answers each part at once; one that
// answers 112 instead breaks that contract, and since its outcome may
// release the request, no further part may be written into it.
TEST_F(EngineSend, PendingEndsASplitSendAndNamesThePartsNotSent) {
  Start(0, {TALVEX_OK, TALVEX_PENDING});
  HostRequest r(Ascii(400));
  EXPECT_EQ(engine.SendSMS(r.request.get()), TALVEX_PENDING);
  EXPECT_EQ(parts().size(), 2u);
  EXPECT_TRUE(log.Has(Severity::Error,
                      "GSMEngine::SendSMS - the gateway answered 112 to part 2 of 3 though it does "
                      "not split by itself: the 1 part(s) after it are not sent"));
}

// The outcome of a pending send can reach the host before SendSMS returns
// (a modem line's thread). A host may then release the request or reuse its
// fields: the engine must not write into it afterwards (ASan sees the write).
TEST_F(EngineSend, ARequestReleasedByItsOutcomeIsNeverTouchedAgain) {
  for (uint32_t capabilities : {0u, uint32_t{kCapSplitsItself}}) {
    SCOPED_TRACE(capabilities);
    engine.Uninitialize();
    Start(capabilities, {TALVEX_PENDING, TALVEX_PENDING});
    auto released = std::make_unique<HostRequest>(Ascii(capabilities ? 50 : 200));  // split in two without
    engine.gateway->on_send = [&](TalvexSmsRequest*) { released.reset(); };
    EXPECT_EQ(engine.SendSMS(released->request.get()), TALVEX_PENDING);
    EXPECT_EQ(released, nullptr);

    HostRequest reused(Ascii(50));
    static const char16_t kHostMark[] = u"host's own";
    engine.gateway->on_send = [&](TalvexSmsRequest* request) { request->part = kHostMark; };
    EXPECT_EQ(engine.SendSMS(reused.request.get()), TALVEX_PENDING);
    EXPECT_EQ(reused.request->part, kHostMark);
  }
}

TEST_F(EngineSend, SelfSplittingGatewayGetsTheWholeTextCutToItsRoom) {
  Start(kCapSplitsItself, {TALVEX_PENDING});
  HostRequest r(Ascii(600));
  EXPECT_EQ(engine.SendSMS(r.request.get()), TALVEX_PENDING);
  ASSERT_EQ(parts().size(), 1u);
  EXPECT_EQ(parts()[0].size(), 459u);  // (160 - 7) * 3
  EXPECT_EQ(r.HostText(), Ascii(459));

  parts().clear();
  HostRequest wide(Ascii(300) + u"\u20ac");
  engine.SendSMS(wide.request.get());
  EXPECT_EQ(parts()[0].size(), 189u);  // (70 - 7) * 3

  parts().clear();
  HostRequest short_text(u"short");
  engine.SendSMS(short_text.request.get());
  EXPECT_EQ(parts()[0], u"short");
  EXPECT_EQ(short_text.HostText(), u"short");
}

TEST_F(EngineSend, SelfSplittingGatewayAtItsExactRoomAndWithoutSplitting) {
  Start(kCapSplitsItself);
  HostRequest exact(Ascii(459));
  EXPECT_EQ(engine.SendSMS(exact.request.get()), TALVEX_OK);
  EXPECT_EQ(parts(), std::vector<std::u16string>{Ascii(459)});  // nothing cut at exactly the limit
  EXPECT_EQ(exact.HostText(), Ascii(459));

  engine.Uninitialize();
  doc.options["splitsms"] = "no";
  Start(kCapSplitsItself);
  HostRequest one_part(Ascii(200));
  EXPECT_EQ(engine.SendSMS(one_part.request.get()), TALVEX_OK);
  EXPECT_EQ(parts(), std::vector<std::u16string>{Ascii(153)});  // room of one part: 160 - 7
  EXPECT_EQ(one_part.HostText(), Ascii(153));
}

TEST_F(EngineSend, SelfSplittingFailureIsLoggedWithItsCode) {
  Start(kCapSplitsItself, {41});
  HostRequest r(u"x");
  EXPECT_EQ(engine.SendSMS(r.request.get()), 41);
  EXPECT_TRUE(log.Has(Severity::Error, "GSMEngine::SendSMS - failed. [qverc: 41]"));
}

TEST_F(EngineSend, SurrogatePairsAreNeverCutInTwo) {
  Start();
  const std::u16string pair = u"\U0001F600";
  HostRequest r(Ascii(69) + pair + u"b");
  EXPECT_EQ(engine.SendSMS(r.request.get()), TALVEX_OK);
  ASSERT_EQ(parts().size(), 2u);
  EXPECT_EQ(parts()[0], Ascii(69));
  EXPECT_EQ(parts()[1], pair + u"b");
  EXPECT_EQ(r.HostText(), Ascii(69) + pair + u"b");
}

TEST_F(EngineSend, SelfSplitCutNeverEndsOnAHighSurrogate) {
  Start(kCapSplitsItself);
  HostRequest r(Ascii(188) + u"\U0001F600" + Ascii(10));
  engine.SendSMS(r.request.get());
  EXPECT_EQ(parts()[0], Ascii(188));
  EXPECT_EQ(r.HostText(), Ascii(188));
}

TEST_F(EngineSend, OneCharacterPerPartKeepsPairsWhole) {
  doc.options["maxsmschars"] = "1";
  doc.options["disableunicode"] = "1";  // keep one character per part for a text above 126
  Start();
  HostRequest r(u"\U0001F600ab");
  EXPECT_EQ(engine.SendSMS(r.request.get()), TALVEX_OK);
  EXPECT_EQ(parts(), (std::vector<std::u16string>{u"\U0001F600", u"a", u"b"}));
}

TEST_F(EngineSend, FewerThanSevenCharactersPerPartDoNotWrapTheLimit) {
  doc.options["maxsmschars"] = "5";
  Start(kCapSplitsItself);
  HostRequest r(Ascii(1000));
  engine.SendSMS(r.request.get());
  EXPECT_EQ(parts()[0].size(), 3u);  // one character of room per part
}

TEST_F(EngineSend, TheCapacityBoundsEveryReadAndWrite) {
  Start();
  // No NUL inside the capacity: the text's end is unknown, so nothing is sent
  // (a cut text would go out and be reported as sent).
  HostRequest r(Ascii(10), 10);
  EXPECT_EQ(engine.SendSMS(r.request.get()), TALVEX_INVALID_PARAMETER);
  EXPECT_TRUE(parts().empty());
  EXPECT_EQ(r.HostText(), Ascii(10));  // untouched
  EXPECT_TRUE(log.Has(Severity::Error,
                      "GSMEngine::SendSMS - Invalid parameter(s): the text has no end within its capacity of 10."));
  HostRequest none(u"x");
  none.request->text_capacity = 0;
  EXPECT_EQ(engine.SendSMS(none.request.get()), TALVEX_INVALID_PARAMETER);
  EXPECT_TRUE(parts().empty());

  HostRequest huge(Ascii(100000));
  EXPECT_EQ(engine.SendSMS(huge.request.get()), TALVEX_OK);
  EXPECT_EQ(parts().size(), 3u);
  EXPECT_EQ(huge.HostText().size(), 480u);
}

TEST_F(EngineSend, ZeroPartsBecomesOneAndStays) {
  doc.options["maxsmssplit"] = "0";
  TalvexGenericOptions* options = nullptr;
  engine.Initialize(7, Callback, &options, "qvsmscomms.xml", "sms");
  ASSERT_NE(options, nullptr);
  HostRequest r(Ascii(300));
  engine.SendSMS(r.request.get());
  EXPECT_EQ(parts().size(), 1u);
  EXPECT_EQ(options->maxsmssplit, 1);
}

// A gateway that hands the part over synchronously to a host that sends again
// on the same thread: the outer send must go on where it was.
TEST_F(EngineSend, ASendFromInsideAGatewayCallDoesNotDisturbTheOuterSend) {
  Start();
  HostRequest inner(u"inner");
  bool sent_inner = false;
  engine.gateway->on_send = [&](TalvexSmsRequest*) {
    if (sent_inner) return;
    sent_inner = true;
    EXPECT_EQ(engine.SendSMS(inner.request.get()), TALVEX_OK);
  };
  HostRequest outer(Ascii(160) + Ascii(40, u'b'));
  EXPECT_EQ(engine.SendSMS(outer.request.get()), TALVEX_OK);
  EXPECT_EQ(parts(), (std::vector<std::u16string>{Ascii(160), u"inner", Ascii(40, u'b')}));
  EXPECT_EQ(outer.HostText(), Ascii(160) + Ascii(40, u'b'));
  EXPECT_EQ(inner.HostText(), u"inner");
}

TEST_F(EngineSend, BadRequestsAndStates) {
  HostRequest r(u"x");
  EXPECT_EQ(engine.SendSMS(r.request.get()), TALVEX_NOT_INITIALISED);
  EXPECT_TRUE(log.Has(Severity::Error, "GSMEngine::SendSMS - Not Init."));
  Start();
  EXPECT_EQ(engine.SendSMS(nullptr), TALVEX_INVALID_PARAMETER);
  r.request->text = nullptr;
  EXPECT_EQ(engine.SendSMS(r.request.get()), TALVEX_INVALID_PARAMETER);
  EXPECT_TRUE(log.Has(Severity::Error, "GSMEngine::SendSMS - Invalid parameter(s)."));
  EXPECT_TRUE(parts().empty());
}

}  // namespace
}  // namespace talvenix::testing
