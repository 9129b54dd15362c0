// SPDX-License-Identifier: Apache-2.0
// Reading SMS-DELIVER, SMS-STATUS-REPORT and SMS-SUBMIT PDUs. Every length
// in the PDU is checked against the octets that are really there.

#include "drivers/at/pdu.hpp"
#include "support/text_codec.hpp"

namespace talvenix::at {
namespace {

class Cursor {
 public:
  explicit Cursor(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  bool Byte(uint8_t& out) {
    if (pos_ >= bytes_.size()) return false;
    out = bytes_[pos_++];
    return true;
  }
  const uint8_t* Take(size_t count) {
    if (bytes_.size() - pos_ < count) return nullptr;
    const uint8_t* p = bytes_.data() + pos_;
    pos_ += count;
    return p;
  }
  size_t left() const { return bytes_.size() - pos_; }

 private:
  const std::vector<uint8_t>& bytes_;
  size_t pos_ = 0;
};

std::string Digits(const uint8_t* data, size_t octets, size_t count) {
  static constexpr char kSemi[] = "0123456789*#abc";
  std::string digits;
  for (size_t i = 0; i < octets && digits.size() < count; ++i) {
    for (int half = 0; half < 2 && digits.size() < count; ++half) {
      uint8_t v = half ? data[i] >> 4 : data[i] & 0xF;
      if (v == 0xF) break;
      digits.push_back(kSemi[v]);
    }
  }
  return digits;
}

// TP address: length in semi-octets, type, digits (or packed letters).
bool ReadAddress(Cursor& c, Address& out) {
  uint8_t length = 0;
  if (!c.Byte(length) || !c.Byte(out.type) || length > 20) return false;
  size_t octets = (length + 1u) / 2u;
  const uint8_t* data = c.Take(octets);
  if (!data) return false;
  if ((out.type & 0x70) == 0x50) {
    std::vector<uint8_t> septets = UnpackSeptets(data, octets, length * 4u / 7u);
    out.text = Utf16ToUtf8(FromGsm7(septets));
  } else {
    out.text = ((out.type & 0x70) == 0x10 ? "+" : "") + Digits(data, octets, length);
  }
  return true;
}

// SMSC information: length in octets including the type octet; 0 = none.
bool ReadSmsc(Cursor& c, Address& out) {
  uint8_t length = 0;
  if (!c.Byte(length)) return false;
  if (length == 0) return true;
  if (length > 12) return false;
  const uint8_t* data = c.Take(length);
  if (!data) return false;
  out.type = data[0];
  out.text = ((out.type & 0x70) == 0x10 ? "+" : "") + Digits(data + 1, length - 1u, (length - 1u) * 2u);
  return true;
}

int Bcd(uint8_t b) { return (b & 0xF) * 10 + (b >> 4); }

bool ReadTimestamp(Cursor& c, Timestamp& t) {
  const uint8_t* d = c.Take(7);
  if (!d) return false;
  t = {2000 + Bcd(d[0]), Bcd(d[1]), Bcd(d[2]), Bcd(d[3]), Bcd(d[4]), Bcd(d[5]), 0};
  int zone = (d[6] & 0x7) * 10 + (d[6] >> 4);
  t.zone_quarters = (d[6] & 0x8) ? -zone : zone;
  return true;
}

bool EncodingOf(uint8_t dcs, Encoding& out) {
  if ((dcs & 0x80) == 0) {         // general data coding (with or without automatic deletion)
    if (dcs & 0x20) return false;  // compressed
    switch ((dcs >> 2) & 3) {
      case 0:
        out = Encoding::kGsm7;
        return true;
      case 1:
        out = Encoding::kData8;
        return true;
      case 2:
        out = Encoding::kUcs2;
        return true;
      default:
        return false;
    }
  }
  switch (dcs & 0xF0) {
    case 0xC0:
    case 0xD0:
      out = Encoding::kGsm7;
      return true;
    case 0xE0:
      out = Encoding::kUcs2;
      return true;
    case 0xF0:
      out = (dcs & 0x04) ? Encoding::kData8 : Encoding::kGsm7;
      return true;
    default:
      return false;
  }
}

// Reads the concatenation element of a user data header; other elements are
// skipped. False when an element runs past the header.
bool ReadHeader(const uint8_t* header, size_t size, Concat& concat) {
  size_t i = 0;
  while (i < size) {
    if (size - i < 2) return false;
    uint8_t id = header[i], length = header[i + 1];
    if (size - i - 2 < length) return false;
    const uint8_t* v = header + i + 2;
    Concat found;
    if (id == 0x00 && length == 3) found = {v[0], v[1], v[2]};
    if (id == 0x08 && length == 4) found = {static_cast<uint16_t>(v[0] << 8 | v[1]), v[2], v[3]};
    // A part number outside 1..total makes the element meaningless: ignore it.
    if (found.total > 0 && found.sequence >= 1 && found.sequence <= found.total) concat = found;
    i += 2u + length;
  }
  return true;
}

// TP-UDL and the user data, with the header when TP-UDHI is set. With a
// `flaw` to report to, a short or malformed user data is read as far as it
// goes and what was wrong is said there.
std::string ReadUserData(Cursor& c, Encoding encoding, bool has_header, Concat& concat, std::u16string& text,
                         std::string* flaw = nullptr) {
  uint8_t length = 0;
  if (!c.Byte(length)) return "user data length missing";
  if (encoding == Encoding::kGsm7 && length > 160) {
    if (!flaw) return "user data longer than 160 septets";
    *flaw = "user data longer than 160 septets";
    length = 160;
  }
  size_t octets = encoding == Encoding::kGsm7 ? (length * 7u + 7u) / 8u : length;
  if (c.left() < octets) {
    if (!flaw) return "user data shorter than its length";
    *flaw = "user data shorter than its length";
    octets = c.left();
    length = static_cast<uint8_t>(encoding == Encoding::kGsm7 ? octets * 8 / 7 : octets);
  }
  const uint8_t* data = c.Take(octets);
  size_t header_octets = 0;
  if (has_header) {
    std::string error;
    if (octets == 0)
      error = "user data header missing";
    else if (data[0] + 1u > octets || (encoding == Encoding::kGsm7 && (data[0] * 8u + 14) / 7 > length))
      error = "user data header longer than the user data";
    else if (!ReadHeader(data + 1, data[0], concat))
      error = "malformed user data header";
    if (!error.empty() && !flaw) return error;
    if (!error.empty())
      *flaw = error + ", read without it";
    else
      header_octets = data[0] + 1u;
  }
  if (encoding == Encoding::kGsm7) {
    size_t header_septets = (header_octets * 8 + 6) / 7;
    int fill = static_cast<int>(header_septets * 7 - header_octets * 8);
    text = FromGsm7(UnpackSeptets(data + header_octets, octets - header_octets, length - header_septets, fill));
  } else if (encoding == Encoding::kUcs2) {
    text.clear();
    for (size_t i = header_octets; i + 1 < octets; i += 2)
      text.push_back(static_cast<char16_t>(data[i] << 8 | data[i + 1]));
  } else {
    text.assign(data + header_octets, data + octets);
  }
  return {};
}

DecodeResult Fail(std::string error) { return {std::nullopt, std::move(error)}; }

}  // namespace

DecodeResult DecodePdu(std::string_view hex, bool with_smsc, bool mobile_originated) {
  std::vector<uint8_t> bytes;
  if (!FromHex(hex, bytes)) return Fail("not a hex PDU");
  Cursor c(bytes);
  Address smsc;
  if (with_smsc && !ReadSmsc(c, smsc)) return Fail("truncated or invalid SMSC address");
  uint8_t first = 0;
  if (!c.Byte(first)) return Fail("PDU without a first octet");
  uint8_t type = first & 0x3;
  bool has_header = first & 0x40;

  if (mobile_originated) {
    if (type != 0x1) return Fail("not an SMS-SUBMIT");
    Submit s;
    s.smsc = smsc;
    s.report_request = first & 0x20;
    uint8_t validity_format = (first >> 3) & 3;
    if (!c.Byte(s.reference) || !ReadAddress(c, s.recipient) || !c.Byte(s.protocol) || !c.Byte(s.coding))
      return Fail("truncated SMS-SUBMIT");
    if (!EncodingOf(s.coding, s.encoding)) return Fail("unknown data coding");
    if (validity_format == 2) {
      uint8_t v = 0;
      if (!c.Byte(v)) return Fail("truncated validity");
      s.validity = v;
    } else if (validity_format != 0 && !c.Take(7)) {
      return Fail("truncated validity");
    }
    std::string error = ReadUserData(c, s.encoding, has_header, s.concat, s.text);
    if (!error.empty()) return Fail(error);
    if (c.left()) return Fail("octets after the user data");
    return {Decoded(std::move(s)), {}};
  }

  if (type == 0x0) {
    Deliver d;
    d.smsc = smsc;
    d.report_indication = first & 0x20;
    if (!ReadAddress(c, d.originator) || !c.Byte(d.protocol) || !c.Byte(d.coding) || !ReadTimestamp(c, d.sent))
      return Fail("truncated SMS-DELIVER");
    // What arrived is delivered as far as it can be read, with what was wrong.
    if (!EncodingOf(d.coding, d.encoding)) {
      d.encoding = Encoding::kData8;
      d.flaw = "unknown data coding 0x" + ToHex({d.coding}) + ", read as 8-bit data";
    }
    std::string flaw;
    std::string error = ReadUserData(c, d.encoding, has_header, d.concat, d.text, &flaw);
    if (!error.empty()) return Fail(error);
    if (c.left()) flaw = "octets after the user data";
    if (!flaw.empty()) d.flaw += (d.flaw.empty() ? "" : "; ") + flaw;
    return {Decoded(std::move(d)), {}};
  }
  if (type == 0x2) {
    StatusReport r;
    r.smsc = smsc;
    if (!c.Byte(r.reference) || !ReadAddress(c, r.recipient) || !ReadTimestamp(c, r.submitted) ||
        !ReadTimestamp(c, r.discharged) || !c.Byte(r.status))
      return Fail("truncated SMS-STATUS-REPORT");
    // Optional parameters may follow; nothing of them is needed.
    return {Decoded(std::move(r)), {}};
  }
  return Fail("unsupported message type");
}

const char* DeliveryStatusText(uint8_t status) {
  switch (status) {
    case 0x00:
      return "delivered";
    case 0x01:
      return "forwarded, delivery unconfirmed";
    case 0x02:
      return "replaced";
    case 0x20:
      return "congestion, still trying";
    case 0x21:
      return "recipient busy, still trying";
    case 0x22:
      return "no response from recipient, still trying";
    case 0x23:
      return "service rejected, still trying";
    case 0x40:
      return "remote procedure error";
    case 0x41:
      return "incompatible destination";
    case 0x42:
      return "connection rejected by recipient";
    case 0x43:
      return "not obtainable";
    case 0x45:
      return "no interworking available";
    case 0x46:
      return "validity period expired";
    case 0x47:
      return "deleted by originating entity";
    case 0x48:
      return "deleted by service centre";
    case 0x49:
      return "message does not exist";
    default:
      if (status < 0x20) return "delivered";
      if (status < 0x40) return "still trying";
      return "failed";
  }
}

}  // namespace talvenix::at
