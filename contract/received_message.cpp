#include "contract/received_message.hpp"

#include <algorithm>

namespace talvenix {

// Storage keeps at least one spare character so an empty buffer has capacity 2.
// resize keeps the storage's capacity, so a record filled again allocates
// only for a longer text.
void ReceivedMessage::Narrow::Bind(TalvexText* field, std::string_view text) {
  storage.resize(std::max<size_t>(text.size() + 1, 2));
  std::char_traits<char>::copy(storage.data(), text.data(), text.size());
  for (size_t i = text.size(); i < storage.size(); ++i) storage[i] = '\0';  // one or two characters
  field->text = storage.data();
  field->capacity = static_cast<uint32_t>(storage.size());
}

void ReceivedMessage::Wide::Bind(TalvexText16* field, std::u16string_view text) {
  storage.resize(std::max<size_t>(text.size() + 1, 2));
  std::char_traits<char16_t>::copy(storage.data(), text.data(), text.size());
  for (size_t i = text.size(); i < storage.size(); ++i) storage[i] = u'\0';
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

void ReceivedMessage::SetOriginator(std::string_view number) { originator_.Bind(&record_.originator, number); }
void ReceivedMessage::SetReportText(std::string_view text) { report_text_.Bind(&record_.report_text, text); }
void ReceivedMessage::SetText(std::u16string_view text) { text_.Bind(&record_.text, text); }
void ReceivedMessage::SetExtraText1(std::u16string_view text) { extra1_.Bind(&record_.extra_text1, text); }
void ReceivedMessage::SetExtraText2(std::u16string_view text) { extra2_.Bind(&record_.extra_text2, text); }
void ReceivedMessage::SetExtraText3(std::u16string_view text) { extra3_.Bind(&record_.extra_text3, text); }

}  // namespace talvenix
