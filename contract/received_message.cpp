#include "contract/received_message.hpp"

#include <algorithm>

namespace talvenix {

// Storage keeps at least one spare character so an empty buffer has capacity 2.
void ReceivedMessage::Narrow::Bind(TalvexText* field, const std::string& text) {
  storage = text;
  storage.resize(std::max<size_t>(text.size() + 1, 2), '\0');
  field->text = storage.data();
  field->capacity = static_cast<uint32_t>(storage.size());
}

void ReceivedMessage::Wide::Bind(TalvexText16* field, const std::u16string& text) {
  storage = text;
  storage.resize(std::max<size_t>(text.size() + 1, 2), u'\0');
  field->text = storage.data();
  field->capacity = static_cast<uint32_t>(storage.size());
}

ReceivedMessage::ReceivedMessage() {
  originator_.Bind(&record_.originator, {});
  report_text_.Bind(&record_.report_text, {});
  text_.Bind(&record_.text, {});
  extra1_.Bind(&record_.extra_text1, {});
  extra2_.Bind(&record_.extra_text2, {});
  reserved_.Bind(&record_.reserved, {});
  extra3_.Bind(&record_.extra_text3, {});
}

void ReceivedMessage::SetOriginator(const std::string& number) { originator_.Bind(&record_.originator, number); }
void ReceivedMessage::SetReportText(const std::string& text) { report_text_.Bind(&record_.report_text, text); }
void ReceivedMessage::SetText(const std::u16string& text) { text_.Bind(&record_.text, text); }
void ReceivedMessage::SetExtraText1(const std::u16string& text) { extra1_.Bind(&record_.extra_text1, text); }
void ReceivedMessage::SetExtraText2(const std::u16string& text) { extra2_.Bind(&record_.extra_text2, text); }
void ReceivedMessage::SetExtraText3(const std::u16string& text) { extra3_.Bind(&record_.extra_text3, text); }

}  // namespace talvenix
