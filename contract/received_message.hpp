#pragma once
// A received message record built on a gateway thread's stack for one host
// callback. It owns its string buffers; they start empty with capacity 2.

#include <string>
#include <string_view>

#include "talvenix/talvenix.h"

namespace talvenix {

class ReceivedMessage {
 public:
  ReceivedMessage();
  ReceivedMessage(const ReceivedMessage&) = delete;
  ReceivedMessage& operator=(const ReceivedMessage&) = delete;

  // Each copies the text into storage the record keeps; a record that is
  // filled again reuses that storage.
  void SetOriginator(std::string_view number);
  void SetReportText(std::string_view text);
  void SetText(std::u16string_view text);
  void SetExtraText1(std::u16string_view text);
  void SetExtraText2(std::u16string_view text);
  void SetExtraText3(std::u16string_view text);

  TalvexReceivedMessage* get() { return &record_; }

 private:
  struct Narrow {
    std::string storage;
    void Bind(TalvexText* field, std::string_view text);
  };
  struct Wide {
    std::u16string storage;
    void Bind(TalvexText16* field, std::u16string_view text);
  };

  TalvexReceivedMessage record_{};
  Narrow originator_, report_text_;
  Wide text_, extra1_, extra2_, reserved_, extra3_;
};

}  // namespace talvenix
