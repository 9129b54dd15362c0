#pragma once
// A received message record built on a gateway thread's stack for one host
// callback. It owns its string buffers; they start empty with capacity 2.

#include <string>

#include "talvenix/talvenix.h"

namespace talvenix {

class ReceivedMessage {
 public:
  ReceivedMessage();
  ReceivedMessage(const ReceivedMessage&) = delete;
  ReceivedMessage& operator=(const ReceivedMessage&) = delete;

  void SetOriginator(const std::string& number);
  void SetReportText(const std::string& text);
  void SetText(const std::u16string& text);
  void SetExtraText1(const std::u16string& text);
  void SetExtraText2(const std::u16string& text);
  void SetExtraText3(const std::u16string& text);

  TalvexReceivedMessage* get() { return &record_; }

 private:
  struct Narrow {
    std::string storage;
    void Bind(TalvexText* field, const std::string& text);
  };
  struct Wide {
    std::u16string storage;
    void Bind(TalvexText16* field, const std::u16string& text);
  };

  TalvexReceivedMessage record_{};
  Narrow originator_, report_text_;
  Wide text_, extra1_, extra2_, reserved_, extra3_;
};

}  // namespace talvenix
