// SPDX-License-Identifier: Apache-2.0
#include "gateways/catalog/catalog.hpp"

#include <cstddef>
#include <iterator>

#include "contract/service.hpp"

namespace talvenix {
namespace {

constexpr uint32_t kDescriptionChars = 2000;

constexpr uint32_t BodyLineOffset(int n) {
  return offsetof(TalvexSmtpSettings, body_lines) +
         static_cast<uint32_t>(n) * sizeof(TalvexSmtpSettings::body_lines[0]);
}

// A text property of the block whose rows take place k in every table, read
// and written with the field's whole size; its description is the k-th.
constexpr SettingsField Property(const char* id, uint32_t mask_bit, uint32_t offset, uint32_t chars, uint8_t k,
                                 int32_t min_number = 0, int32_t max_number = 0) {
  uint32_t description = offsetof(TalvexSmtpSettings, descriptions) + k * sizeof(char16_t) * kDescriptionChars;
  return {id,
          mask_bit,
          offset,
          SettingsField::kWide,
          chars,
          false,
          {static_cast<int32_t>(chars), description, k, k},
          min_number,
          max_number};
}

// The eighteen properties of the settings block, in mask order, which every table keeps.
constexpr SettingsField kSmtpFields[] = {
    Property("[smtpserver]", TALVEX_SMTP_SERVER, offsetof(TalvexSmtpSettings, server), 500, 0),
    Property("[smtpport]", TALVEX_SMTP_PORT, offsetof(TalvexSmtpSettings, port), 500, 1, 1, 65535),
    Property("[from]", TALVEX_SMTP_FROM, offsetof(TalvexSmtpSettings, from), 1000, 2),
    Property("[to]", TALVEX_SMTP_TO, offsetof(TalvexSmtpSettings, to), 1000, 3),
    Property("[cc]", TALVEX_SMTP_CC, offsetof(TalvexSmtpSettings, cc), 1000, 4),
    Property("[bcc]", TALVEX_SMTP_BCC, offsetof(TalvexSmtpSettings, bcc), 1000, 5),
    Property("[subject]", TALVEX_SMTP_SUBJECT, offsetof(TalvexSmtpSettings, subject), 1000, 6),
    Property("[bodytemplatename]", TALVEX_SMTP_TEMPLATE, offsetof(TalvexSmtpSettings, template_name), 1000, 7),
    Property("[bodyline1]", TALVEX_SMTP_BODYLINE1 << 0, BodyLineOffset(0), 2000, 8),
    Property("[bodyline2]", TALVEX_SMTP_BODYLINE1 << 1, BodyLineOffset(1), 2000, 9),
    Property("[bodyline3]", TALVEX_SMTP_BODYLINE1 << 2, BodyLineOffset(2), 2000, 10),
    Property("[bodyline4]", TALVEX_SMTP_BODYLINE1 << 3, BodyLineOffset(3), 2000, 11),
    Property("[bodyline5]", TALVEX_SMTP_BODYLINE1 << 4, BodyLineOffset(4), 2000, 12),
    Property("[bodyline6]", TALVEX_SMTP_BODYLINE1 << 5, BodyLineOffset(5), 2000, 13),
    Property("[bodyline7]", TALVEX_SMTP_BODYLINE1 << 6, BodyLineOffset(6), 2000, 14),
    Property("[bodyline8]", TALVEX_SMTP_BODYLINE1 << 7, BodyLineOffset(7), 2000, 15),
    Property("[bodyline9]", TALVEX_SMTP_BODYLINE1 << 8, BodyLineOffset(8), 2000, 16),
    Property("[bodyline10]", TALVEX_SMTP_BODYLINE1 << 9, BodyLineOffset(9), 2000, 17),
};
static_assert(std::size(kSmtpFields) == TALVEX_SMTP_PROPERTIES);

// How the mail is submitted, beyond the block's server and port (in EmailSetting order).
constexpr GatewaySetting kSmtpSettings[] = {
    {"[smtpsecurity]", GatewaySetting::kProperty, 32, u"none", false},
    {"[smtpuser]", GatewaySetting::kProperty, 500, nullptr, false},
    {"[smtppassword]", GatewaySetting::kProperty, 500, nullptr, true},
};

}  // namespace

constexpr ServiceDescriptor kEmailService = {
    TALVEX_SERVICE_EMAIL,
    "gensmtp",
    "Gen SMTP",
    0,
    kTraitSettingsExports,
    sizeof(TalvexSmtpSettings),
    kSmtpFields,
    {TALVEX_SMTP_ALL, kDescriptionChars, true},
    {},
    kSmtpSettings,
};

}  // namespace talvenix
