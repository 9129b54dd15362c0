// SPDX-License-Identifier: Apache-2.0
// Arbitrary bytes through the AT driver's readers: the first byte chooses
// the PDU decoder (the rest as hex text, as a modem shows it, or re-encoded
// as hex so most inputs reach the fields) or the modem response reader (the
// rest cut into pieces). Besides crashes and sanitizer reports, it stops when
// a decoded SMS-SUBMIT does not survive being built again.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "drivers/at/at_reader.hpp"
#include "drivers/at/pdu.hpp"

using namespace talvenix::at;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint8_t mode = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (mode % 4) {
    case 0:
    case 1: {
      std::string hex = mode % 4 == 0 ? std::string(rest) : ToHex(std::vector<uint8_t>(rest.begin(), rest.end()));
      bool with_smsc = mode & 0x10, mobile = mode & 0x20;
      DecodeResult r = DecodePdu(hex, with_smsc, mobile);
      if (r.message && mobile) {
        const Submit& s = std::get<Submit>(*r.message);
        if (s.encoding != Encoding::kData8 && !s.text.empty() && !s.recipient.text.empty()) {
          SubmitOptions o;
          o.report_request = s.report_request;
          SubmitBuild b = BuildSubmit(s.recipient.text, s.text, o);
          std::u16string again;
          for (const SubmitPart& p : b.parts) {
            DecodeResult back = DecodePdu(p.hex, true, true);
            if (!back.message) std::abort();  // we built a PDU we cannot read
            again += std::get<Submit>(*back.message).text;
          }
          if (b.error.empty() && b.encoding == Encoding::kUcs2 && again != s.text) std::abort();
        }
      }
      break;
    }
    default: {
      AtReader reader;
      size_t step = 1 + (mode >> 2) % 17;
      for (size_t i = 0; i < rest.size(); i += step) {
        reader.Feed(rest.substr(i, step));
        AtEvent e;
        while (reader.Next(e)) {
          if (e.text.size() > AtReader::kMaxLine) std::abort();
          if (e.kind == AtEvent::Kind::kError) (void)CmsErrorText(e.code);
        }
      }
      break;
    }
  }
  return 0;
}
