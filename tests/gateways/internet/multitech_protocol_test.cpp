// SPDX-License-Identifier: Apache-2.0
// The device requests and the reading of the device's answers.

#include <gtest/gtest.h>

#include "common/recording_logger.hpp"
#include "gateways/internet/multitech_protocol.hpp"
#include "gateways/internet/multitech_response.hpp"
#include "peers/isms_device_sim.hpp"
#include "support/text_codec.hpp"

namespace talvenix::testing {
namespace {

using namespace multitech;

TEST(MultitechRequests, EncodeValuesAsTheDeviceReadsThem) {
  EXPECT_EQ(DeviceUrlEncode(u"\"+12345\""), "%22%2B12345%22");
  EXPECT_EQ(DeviceUrlEncode(u"a b%c-._~!$'()*,;:/@#"), "a%20b%25c-._~!$'()*,;:/@%23");
  EXPECT_EQ(DeviceUrlEncode(u"é€"), "%C3%A9%E2%82%AC");
  // '&' and '=' would end the value early.
  EXPECT_EQ(DeviceUrlEncode(u"p&ss=1"), "p%26ss%3D1");
  EXPECT_EQ(TextToHex(u"Hi"), "48;69;");
  EXPECT_EQ(TextToHex(u"\n\u20AC\U0001F600"), "A;20AC;D83D;DE00;");
  EXPECT_EQ(TextToHex(std::u16string(1, u'\0')), "0;");
}

TEST(MultitechRequests, BuildTheThreePathsAndLogTheTextButNeverThePassword) {
  RecordingLogger log;
  std::string send = BuildSendRequest(u"ad min", u"p&ss=1", "+12345", u"Hi", &log);
  EXPECT_EQ(send, "/sendmsg?user=ad%20min&passwd=p%26ss%3D1&cat=1&enc=2&to=%22%2B12345%22&text=48;69;");
  EXPECT_TRUE(log.Has(Severity::Information, "Encoded Message: 48;69;"));
  EXPECT_EQ(BuildQueryRequest(u"u", u"p", 4294967295u), "/querymsg?user=u&passwd=p&apimsgid=4294967295");
  EXPECT_EQ(BuildRecvRequest(u"u", u"p"), "/recvmsg?user=u&passwd=p");
}

TEST(MultitechAnswers, SendAnswerGivesTheTrackingId) {
  uint32_t id = 99;
  EXPECT_EQ(ParseSendResponse("ID: 17", &id), 112);
  EXPECT_EQ(id, 17u);
  EXPECT_EQ(ParseSendResponse("xx ID:42\r\n", &id), 112);
  EXPECT_EQ(id, 42u);
  EXPECT_EQ(ParseSendResponse("ID: ", &id), 112);  // no digits: id 0
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(ParseSendResponse("ID:", &id), 1);
  EXPECT_EQ(ParseSendResponse("Err: 601", &id), 1);
  EXPECT_EQ(ParseSendResponse("<html><body>500</body></html>", &id), 1);
  EXPECT_EQ(ParseSendResponse("", &id), 1);
}

TEST(MultitechAnswers, QueryAnswerFollowsTheStateAndErrorTables) {
  RecordingLogger log;
  EXPECT_EQ(ParseQueryResponse("ID: 17 Status: 0", &log), 0);
  EXPECT_EQ(ParseQueryResponse("ID: 17 Status: Done", &log), 0);
  EXPECT_EQ(ParseQueryResponse("ID: 17 Status: 2", &log), 112);
  EXPECT_EQ(ParseQueryResponse("ID: 17 Status: 9", &log), 12);
  EXPECT_EQ(ParseQueryResponse("ID: 17 Status: 7", &log), 1);
  EXPECT_TRUE(log.Has(Severity::Error, "MultitechISMSService: SMS failed [distribution failed]"));
  EXPECT_TRUE(log.Has(Severity::Information, "MultitechISMSService: [SMS successfully sent]"));
  EXPECT_EQ(ParseQueryResponse("ID: 17 Status: 42", &log), 1);
  EXPECT_TRUE(log.Has(Severity::Error, "MultitechISMSService: SMS failed [invalid or unknown status code]"));
  // A state that is no number is not "sent".
  EXPECT_EQ(ParseQueryResponse("ID: 17 Status: x", &log), 1);
  // Answers matching no pattern: still in progress.
  EXPECT_EQ(ParseQueryResponse("ID: 17 Status: ", &log), 112);
  EXPECT_EQ(ParseQueryResponse("Status: 0 ID: 17", &log), 112);
  EXPECT_EQ(ParseQueryResponse("ID: ", &log), 112);
  EXPECT_EQ(ParseQueryResponse("<html>502 Bad Gateway</html>", &log), 112);
  EXPECT_EQ(ParseQueryResponse("ID: 17 Err: 601", &log), 58);
}

TEST(MultitechAnswers, DeviceErrorsMapToTheirCodes) {
  RecordingLogger log;
  EXPECT_EQ(parse_error("Err: 601", &log), 58);
  EXPECT_EQ(parse_error("Err: 602", &log), 2);
  for (int code = 603; code <= 621; ++code) EXPECT_EQ(parse_error("Err: " + std::to_string(code), &log), 1) << code;
  EXPECT_TRUE(log.Has(Severity::Error,
                      "MultitechISMSService::parse_error: error![erc: 613] invalid modem index, "
                      "(index is not between;  SF400 0-4 : SF800 0-8) "));
  EXPECT_EQ(parse_error("Err: 999", &log), 1);
  EXPECT_TRUE(
      log.Has(Severity::Error, "MultitechISMSService::parse_error: error![erc: 999] invalid or unknown error code"));
  EXPECT_EQ(parse_error("Err: ", &log), 1);
  EXPECT_TRUE(log.Has(Severity::Error,
                      "MultitechISMSService:parse_error: error detected but response is invalid. "
                      "(parsing problem?)"));
  EXPECT_EQ(parse_error(static_cast<const char*>(nullptr), &log), 1);
  EXPECT_EQ(parse_error("Err: 99999999999999999999", &log), 1);
}

TEST(MultitechAnswers, ReceivedMessagesAsTheDeviceWritesThem) {
  RecordingLogger log;
  std::vector<ReceivedEntry> entries;
  std::string document =
      peers::IsmsDeviceSim::RecvDocument({peers::InboxMessage::Ascii("+15550002", "Hello, world 100%"),
                                          peers::InboxMessage::Unicode("+15550003", u"Hi \u20AC"),
                                          {"+15550004", "caf%C3%A9+%", "ExtendedASCII"}});
  ASSERT_EQ(parse_queryrecvmsg(document, entries, &log), 0);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].index, 1u);
  EXPECT_EQ(entries[0].sender, "+15550002");
  EXPECT_EQ(entries[0].date, "12/08/26");
  EXPECT_EQ(entries[0].time, "10:15:00");
  EXPECT_EQ(entries[0].encoding, TextEncoding::kAscii);
  EXPECT_EQ(entries[0].text, u"Hello, world 100%");
  EXPECT_EQ(entries[1].encoding, TextEncoding::kUnicodeHex);
  EXPECT_EQ(DecodeUnicodeHex(entries[1].text), u"Hi \u20AC");
  EXPECT_EQ(entries[2].encoding, TextEncoding::kExtendedAscii);
  EXPECT_EQ(entries[2].text, u"café+%");  // '+' stays, a lone '%' too
  EXPECT_TRUE(log.lines().empty());

  // A NUL would end the text at the host; a line break is no number.
  entries.clear();
  document = peers::IsmsDeviceSim::RecvDocument(
      {{"+1555\r\n0005", "a%00b", "ASCII"}, peers::InboxMessage::Unicode("+15550006", std::u16string(u"c\0d", 3))});
  ASSERT_EQ(parse_queryrecvmsg(document, entries, &log), 0);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].sender, "+15550005");
  EXPECT_EQ(entries[0].text, u"a\u2400b");
  EXPECT_EQ(DecodeUnicodeHex(entries[1].text), u"c\u2400d");
}

TEST(MultitechAnswers, BrokenReceiveAnswersFailOrYieldOnlyWhatIsThere) {
  RecordingLogger log;
  std::vector<ReceivedEntry> entries;
  EXPECT_EQ(parse_queryrecvmsg("<Response><Msg_Count>0</Msg_Count></Response>", entries, &log), 0);
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(parse_queryrecvmsg("<Response><Unread_Available>1</Unread_Available></Response>", entries, &log), 1);
  EXPECT_TRUE(
      log.Has(Severity::Error, "MultitechISMSService::parse_queryrecvmsg: invalid XML response [count not found]"));
  EXPECT_EQ(parse_queryrecvmsg("Err: 601", entries, &log), 58);
  EXPECT_EQ(parse_queryrecvmsg("Err: 618", entries, &log), 1);
  EXPECT_EQ(parse_queryrecvmsg("<html><body>busy", entries, &log), 1);
  EXPECT_EQ(parse_queryrecvmsg("", entries, &log), 1);
  EXPECT_TRUE(entries.empty());

  // The count disagrees with the nodes: every node is read; one without a Message is skipped.
  log.Clear();
  EXPECT_EQ(parse_queryrecvmsg("<Response><Msg_Count>05</Msg_Count>"
                               "<MessageNotification><SenderNumber>1</SenderNumber><Message>a</Message>"
                               "</MessageNotification><MessageNotification><SenderNumber>2</SenderNumber>"
                               "</MessageNotification></Response>",
                               entries, &log),
            0);
  EXPECT_TRUE(log.Has(Severity::Error, "MultitechISMSService::parse_queryrecvmsg: NumberNode: 2 ???? msg_count: 5."));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].sender, "1");
  EXPECT_EQ(entries[0].encoding, TextEncoding::kUnicodeHex);  // no EncodingFlag
}

TEST(MultitechAnswers, UnicodeHexKeepsPairsAndReplacesWhatIsNotText) {
  EXPECT_EQ(DecodeUnicodeHex(u"00480069"), u"Hi");
  EXPECT_EQ(DecodeUnicodeHex(u"0048006"), u"H");  // a last short group is dropped
  EXPECT_EQ(DecodeUnicodeHex(u"D83DDE00"), u"\U0001F600");
  EXPECT_EQ(DecodeUnicodeHex(u"D83D0041DE00"), u"\uFFFDA\uFFFD");
  EXPECT_EQ(DecodeUnicodeHex(u"00G1zzzz0041"), u"\uFFFD\uFFFDA");
  EXPECT_EQ(PercentDecode("%41%4a%zz%4"), "AJ%zz%4");
}

}  // namespace
}  // namespace talvenix::testing
