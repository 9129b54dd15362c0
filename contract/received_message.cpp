// SPDX-License-Identifier: Apache-2.0
#include "contract/received_message.hpp"

namespace talvenix {

// Rounded up, so a stream of slightly longer texts does not allocate for each.
template <typename Char, typename Field>
void ReceivedMessage::Buffer<Char, Field>::Grow(size_t used) {
  size_t size = (used + 63) & ~size_t{63};
  data_ = std::make_unique_for_overwrite<Char[]>(size);
  allocated_ = size;
}

template class ReceivedMessage::Buffer<char, TalvexText>;
template class ReceivedMessage::Buffer<char16_t, TalvexText16>;

ReceivedMessage::ReceivedMessage() {
  originator_.Bind(&record_.originator, {});
  report_text_.Bind(&record_.report_text, {});
  text_.Bind(&record_.text, {});
  extra1_.Bind(&record_.extra_text1, {});
  extra2_.Bind(&record_.extra_text2, {});
  reserved_.Bind(&record_.reserved, {});
  extra3_.Bind(&record_.extra_text3, {});
}

}  // namespace talvenix
