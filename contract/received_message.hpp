// SPDX-License-Identifier: Apache-2.0
#pragma once
// A received message record built on a gateway thread's stack for one host
// callback. It owns its string buffers; they start empty with capacity 2.

#include <cstdint>
#include <memory>
#include <string_view>

#include "talvenix/talvenix.h"

namespace talvenix {

class ReceivedMessage {
 public:
  ReceivedMessage();
  ReceivedMessage(const ReceivedMessage&) = delete;
  ReceivedMessage& operator=(const ReceivedMessage&) = delete;

  // Each copies the text into storage the record keeps; a record that is
  // filled again reuses that storage and allocates only for a longer text.
  // The field's capacity is the text's length plus its NUL (at least 2).
  void SetOriginator(std::string_view number) { originator_.Bind(&record_.originator, number); }
  void SetReportText(std::string_view text) { report_text_.Bind(&record_.report_text, text); }
  void SetText(std::u16string_view text) { text_.Bind(&record_.text, text); }
  void SetExtraText1(std::u16string_view text) { extra1_.Bind(&record_.extra_text1, text); }
  void SetExtraText2(std::u16string_view text) { extra2_.Bind(&record_.extra_text2, text); }
  void SetExtraText3(std::u16string_view text) { extra3_.Bind(&record_.extra_text3, text); }

  TalvexReceivedMessage* get() { return &record_; }

 private:
  // Grow-only storage: filling it again with a text that fits costs one copy.
  template <typename Char, typename Field>
  class Buffer {
   public:
    void Bind(Field* field, std::basic_string_view<Char> text) {
      const size_t used = text.size() < 2 ? 2 : text.size() + 1;
      if (used > allocated_) Grow(used);
      Char* data = data_.get();
      if (!text.empty()) std::char_traits<Char>::copy(data, text.data(), text.size());
      data[text.size()] = Char();
      data[used - 1] = Char();  // the spare character of an empty buffer
      field->text = data;
      field->capacity = static_cast<uint32_t>(used);
    }

   private:
    void Grow(size_t used);
    std::unique_ptr<Char[]> data_;
    size_t allocated_ = 0;
  };
  using Narrow = Buffer<char, TalvexText>;
  using Wide = Buffer<char16_t, TalvexText16>;

  TalvexReceivedMessage record_{};
  Narrow originator_, report_text_;
  Wide text_, extra1_, extra2_, reserved_, extra3_;
};

}  // namespace talvenix
