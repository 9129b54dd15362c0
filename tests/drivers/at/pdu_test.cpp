// SPDX-License-Identifier: Apache-2.0
// The PDU codec against PDUs published in modem guides and forums (quoted
// below), and against the faults a network or a broken modem may hand us.

#include <gtest/gtest.h>

#include "drivers/at/pdu.hpp"

namespace talvenix::at {
namespace {

template <typename T>
T As(const DecodeResult& r) {
  EXPECT_TRUE(r.message) << r.error;
  if (!r.message || !std::holds_alternative<T>(*r.message)) {
    ADD_FAILURE() << "wrong message type";
    return T{};
  }
  return std::get<T>(*r.message);
}

Submit ReadBack(const SubmitPart& part) { return As<Submit>(DecodePdu(part.hex, true, true)); }

// "hellohello" SMS-DELIVER from +27381000015 (a widely reprinted PDU-mode tutorial).
TEST(PduDecode, PublishedDeliverWithSubscriberNumberAndTimestamp) {
  auto d = As<Deliver>(DecodePdu("07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37"));
  EXPECT_EQ(d.smsc.text, "+27381000015");
  EXPECT_EQ(d.originator.text, "27838890001");  // type C8: no "+"
  EXPECT_EQ(d.originator.type, 0xC8);
  EXPECT_EQ(d.text, u"hellohello");
  EXPECT_EQ(d.encoding, Encoding::kGsm7);
  EXPECT_EQ(d.sent.year, 2099);
  EXPECT_EQ(d.sent.month, 3);
  EXPECT_EQ(d.sent.day, 29);
  EXPECT_EQ(d.sent.hour, 15);
  EXPECT_EQ(d.sent.minute, 16);
  EXPECT_EQ(d.sent.second, 59);
  EXPECT_EQ(d.sent.zone_quarters, 8);
  EXPECT_EQ(d.concat.total, 0);
}

// Two Arabic letters in UCS-2, read with AT+CMGR (quoted in a developer forum).
TEST(PduDecode, PublishedUcs2DeliverWithInternationalOriginator) {
  auto d = As<Deliver>(DecodePdu("07910201956905F0040B910201014160F3000820219130521580040628062A"));
  EXPECT_EQ(d.smsc.text, "+20105996500");
  EXPECT_EQ(d.originator.text, "+20101014063");
  EXPECT_EQ(d.encoding, Encoding::kUcs2);
  EXPECT_EQ(d.text, u"\u0628\u062A");
}

// Status report of a delivered message (+CDS without the SMSC part, from a
// tutorial on status reports).
TEST(PduDecode, PublishedStatusReport) {
  auto r = As<StatusReport>(DecodePdu("06000B910221815716F2709021510121807090215101718000", false));
  EXPECT_EQ(r.reference, 0);
  EXPECT_EQ(r.recipient.text, "+20121875612");
  EXPECT_EQ(r.discharged.second, 17);
  EXPECT_EQ(r.submitted.second, 12);
  EXPECT_EQ(r.status, 0);
  EXPECT_STREQ(DeliveryStatusText(r.status), "delivered");
  EXPECT_STREQ(DeliveryStatusText(0x46), "validity period expired");
}

TEST(PduDecode, OriginatorForms) {
  // National number (type A1), and letters packed like text (type D0): the
  // packed "hellohello" of the published deliver above, 18 semi-octets.
  auto national =
      As<Deliver>(DecodePdu("00040AA11032547698000099309251619580"
                            "0AE8329BFD4697D9EC37"));
  EXPECT_EQ(national.originator.text, "0123456789");
  auto alpha =
      As<Deliver>(DecodePdu("000412D0E8329BFD4697D9EC37000099309251619580"
                            "0AE8329BFD4697D9EC37"));
  EXPECT_EQ(alpha.originator.text, "hellohello");
}

TEST(PduDecode, ExtensionTableAnd8BitData) {
  // "€[" : 1B 65 1B 3C in the default alphabet (GSM 03.38 extension table).
  std::vector<uint8_t> septets;
  ASSERT_TRUE(ToGsm7(u"\u20AC[", septets));
  EXPECT_EQ(septets, (std::vector<uint8_t>{0x1B, 0x65, 0x1B, 0x3C}));
  EXPECT_EQ(FromGsm7(septets), u"\u20AC[");
  std::string hex =
      "0004038121F3000499309251619580"
      "03"
      "41FF00";
  auto d = As<Deliver>(DecodePdu(hex));
  EXPECT_EQ(d.encoding, Encoding::kData8);
  EXPECT_EQ(d.text, std::u16string(u"A\u00FF") + u'\0');
}

TEST(PduDecode, ConcatenatedPartCarriesItsHeader) {
  // UDH 05 00 03 CC 02 01, then "hello" after one fill bit: UDL 7 + 5 septets.
  std::vector<uint8_t> packed = PackSeptets({0x68, 0x65, 0x6C, 0x6C, 0x6F}, 1);
  std::string hex =
      "0044038121F3000099309251619580"
      "0C"
      "050003CC0201" +
      ToHex(packed);
  auto d = As<Deliver>(DecodePdu(hex));
  EXPECT_EQ(d.concat.reference, 0xCC);
  EXPECT_EQ(d.concat.total, 2);
  EXPECT_EQ(d.concat.sequence, 1);
  EXPECT_EQ(d.text, u"hello");
}

// A message whose envelope is whole is read as far as its user data goes,
// with what was wrong; one without a whole envelope is refused.
TEST(PduDecode, BrokenPdusAreReadAsFarAsTheyGoOrRefusedWithAReason) {
  const std::string good = "07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37";
  const size_t user_data = good.size() - 20;  // UDL and the packed "hellohello"
  for (size_t cut = 0; cut < good.size(); cut += 2) {
    auto r = DecodePdu(good.substr(0, cut));
    if (cut <= user_data) {
      EXPECT_FALSE(r.message) << cut;
      EXPECT_FALSE(r.error.empty());
    } else {
      auto d = As<Deliver>(r);
      EXPECT_EQ(d.flaw, "user data shorter than its length") << cut;
      EXPECT_EQ(d.text, std::u16string(u"hellohello").substr(0, (cut - user_data - 2) / 2 * 8 / 7)) << cut;
    }
  }
  EXPECT_EQ(As<Deliver>(DecodePdu(good + "00")).flaw, "octets after the user data");
  EXPECT_FALSE(DecodePdu("zz" + good.substr(2)).message);  // not hex
  // Data coding 0x90 is reserved; 0x24 is compressed: both are read as 8-bit data.
  auto reserved =
      As<Deliver>(DecodePdu("0004038121F3009099309251619580"
                            "0141"));
  EXPECT_EQ(reserved.flaw, "unknown data coding 0x90, read as 8-bit data");
  EXPECT_EQ(reserved.text, u"A");
  EXPECT_EQ(As<Deliver>(DecodePdu("0004038121F3002499309251619580"
                                  "024100"))
                .text,
            std::u16string(u"A") + u'\0');
  // A header that claims more octets than the user data holds.
  EXPECT_EQ(As<Deliver>(DecodePdu("0044038121F3000899309251619580"
                                  "04"
                                  "09000300"))
                .flaw,
            "user data header longer than the user data, read without it");
  // An element that runs past the header.
  EXPECT_EQ(As<Deliver>(DecodePdu("0044038121F3000899309251619580"
                                  "05"
                                  "0300050041"))
                .flaw,
            "malformed user data header, read without it");
  // Submissions are read strictly: a short one is refused.
  EXPECT_EQ(DecodePdu("0011000B916407281553F80000AA0AE8329BFD4697D9EC", true, true).error,
            "user data shorter than its length");
  // A part number outside 1..total is not a concatenation.
  auto d =
      As<Deliver>(DecodePdu("0044038121F3000899309251619580"
                            "08"
                            "0500030102030041"));
  EXPECT_EQ(d.concat.total, 0);
  EXPECT_EQ(d.text, u"A");
}

// The SMS-SUBMIT of the same tutorial: "hellohello" to +46708251358, four days.
TEST(PduEncode, PublishedSubmitInternationalAndNational) {
  SubmitOptions o;
  auto b = BuildSubmit("+46708251358", u"hellohello", o);
  ASSERT_EQ(b.parts.size(), 1u);
  EXPECT_EQ(b.parts[0].hex, "0011000B916407281553F80000AA0AE8329BFD4697D9EC37");
  EXPECT_EQ(b.parts[0].tpdu_length, 23u);
  // "hello" to a national number (a reprinted length-calculation example).
  b = BuildSubmit("1234657", u"hello", o);
  EXPECT_EQ(b.parts[0].hex, "0011000781214356F70000AA05E8329BFD06");
  EXPECT_EQ(b.parts[0].tpdu_length, 17u);
}

TEST(PduEncode, ReportRequestValidityAndUcs2) {
  SubmitOptions o;
  o.report_request = true;
  o.validity = 0xA7;
  auto b = BuildSubmit("+15550100", u"\u0628\u062A", o);
  ASSERT_EQ(b.parts.size(), 1u);
  EXPECT_EQ(b.encoding, Encoding::kUcs2);
  EXPECT_EQ(b.parts[0].hex.substr(0, 4), "0031");
  Submit s = ReadBack(b.parts[0]);
  EXPECT_TRUE(s.report_request);
  EXPECT_EQ(s.validity, 0xA7);
  EXPECT_EQ(s.coding, 0x08);
  EXPECT_EQ(s.recipient.text, "+15550100");
  EXPECT_EQ(s.text, u"\u0628\u062A");
  // Without UCS-2 the text goes out in the default alphabet with '?'.
  o.allow_ucs2 = false;
  b = BuildSubmit("+15550100", u"a\u0628\U0001F600b", o);
  EXPECT_EQ(ReadBack(b.parts[0]).text, u"a??b");
  EXPECT_FALSE(BuildSubmit("+1555x", u"a", o).error.empty());
  EXPECT_FALSE(BuildSubmit("", u"a", o).error.empty());
}

TEST(PduEncode, LongTextsBecomeConcatenatedPartsThatReadBackWhole) {
  SubmitOptions o;
  o.concat_reference = 0x2A;
  std::u16string text;
  for (int i = 0; i < 400; ++i) text.push_back(static_cast<char16_t>(u'a' + i % 26));
  auto b = BuildSubmit("+46708251358", text, o);
  ASSERT_EQ(b.parts.size(), 3u);
  EXPECT_EQ(b.parts[0].hex.substr(0, 4), "0051");
  // UDL 160 = 7 header septets + 153; the header follows it.
  EXPECT_EQ(b.parts[0].hex.substr(28, 14),
            "A0050003"
            "2A0301");
  std::u16string joined;
  for (size_t i = 0; i < 3; ++i) {
    Submit s = ReadBack(b.parts[i]);
    EXPECT_EQ(s.concat.reference, 0x2A);
    EXPECT_EQ(s.concat.total, 3);
    EXPECT_EQ(s.concat.sequence, i + 1);
    joined += s.text;
  }
  EXPECT_EQ(joined, text);

  // An escape pair is never cut: 152 letters then "€" keeps "€" whole in part 2.
  std::u16string euro(152, u'x');
  euro += u"\u20AC" + std::u16string(20, u'y');
  b = BuildSubmit("+4670", euro, o);
  ASSERT_EQ(b.parts.size(), 2u);
  EXPECT_EQ(ReadBack(b.parts[0]).text, std::u16string(152, u'x'));
  EXPECT_EQ(ReadBack(b.parts[1]).text.substr(0, 1), u"\u20AC");

  // A surrogate pair is never cut: 66 letters then U+1F600.
  std::u16string emoji = std::u16string(66, u'a') + u"\U0001F600" + std::u16string(10, u'b');
  b = BuildSubmit("+4670", emoji, o);
  ASSERT_EQ(b.parts.size(), 2u);
  EXPECT_EQ(b.encoding, Encoding::kUcs2);
  EXPECT_EQ(ReadBack(b.parts[0]).text, std::u16string(66, u'a'));
  EXPECT_EQ(ReadBack(b.parts[1]).text.substr(0, 2), u"\U0001F600");

  // 10,000 characters: 66 parts, each within one PDU.
  b = BuildSubmit("+4670", std::u16string(10000, u'z'), o);
  EXPECT_EQ(b.parts.size(), 66u);
  for (const SubmitPart& p : b.parts) EXPECT_LE(p.tpdu_length, 164u);
}

}  // namespace
}  // namespace talvenix::at
