// SPDX-License-Identifier: Apache-2.0
// Ten thousand messages through the device gateway while the device
// misbehaves at random, with the settings reloaded and the engine stopped in
// the middle of the traffic: every request answered 112 gets exactly one
// outcome, every other none.

#include <atomic>
#include <memory>
#include <vector>

#include "gateways/internet/multitech_fixture.hpp"

namespace talvenix::testing {
namespace {

constexpr size_t kMessages = 10000;

// Counts outcomes per request: the requests live in one array, so a request's
// place in it is its index.
struct OutcomeCounter {
  static int32_t TALVEX_CALL Callback(int32_t code, int32_t, uint32_t kind, uintptr_t context, void* data,
                                      uint32_t data_kind) {
    auto* self = reinterpret_cast<OutcomeCounter*>(context);
    auto* request = static_cast<TalvexSmsRequest*>(data);
    if (kind != TALVEX_EVENT_OUTCOME || data_kind != TALVEX_DATA_REQUEST || request < self->first ||
        request >= self->first + kMessages) {
      self->stray.fetch_add(1);
      return 0;
    }
    size_t i = static_cast<size_t>(request - self->first);
    self->outcomes[i].fetch_add(1);
    self->codes[i].store(code);
    return 0;
  }
  TalvexSmsRequest* first = nullptr;
  std::unique_ptr<std::atomic<int>[]> outcomes { new std::atomic<int>[ kMessages ]() };
  std::unique_ptr<std::atomic<int32_t>[]> codes { new std::atomic<int32_t>[ kMessages ]() };
  std::atomic<int> stray{0};
};

class MultitechSoak : public MultitechHostTest {};

// 10,000 messages against a device that misbehaves at random, with Unint in
// the middle of the traffic: every request answered 112 has exactly one outcome.
TEST_F(MultitechSoak, EveryPendingRequestGetsExactlyOneOutcome) {
  peers::Chaos chaos;
  chaos.delay = 0.05;
  chaos.max_delay_ms = 3;
  chaos.drop = 0.02;
  chaos.error = 0.03;
  chaos.duplicate = 0.02;
  chaos.seed = 20261208;
  device.SetChaos(chaos);
  device.SetStates({"3", "6", "0"});

  std::vector<std::u16string> texts(kMessages, u"soak message");
  std::vector<TalvexSmsRequest> requests(kMessages);
  OutcomeCounter counter;
  counter.first = requests.data();
  for (size_t i = 0; i < kMessages; ++i) {
    texts[i].resize(32, u'\0');
    requests[i].text = texts[i].data();
    requests[i].text_capacity = 32;
    requests[i].recipient = "+15550100";
  }

  std::vector<int32_t> answers(kMessages, -1);
  auto start = [&] { return m.InitTalvex(reinterpret_cast<uintptr_t>(&counter), &OutcomeCounter::Callback, &options); };
  ASSERT_EQ(start(), TALVEX_OK);
  for (size_t i = 0; i < kMessages; ++i) {
    if (i == kMessages / 2) {
      m.Unint();  // in the middle of the traffic: whatever is tracked is given up now
      ASSERT_EQ(start(), TALVEX_OK);
    }
    if (i % 1000 == 500) {
      // The settings are read again while the worker and the sends use them.
      uint32_t mask = 0;
      ASSERT_EQ(m.Update(&mask, 1, 1, &options), TALVEX_UPDATE_APPLIED);
    }
    answers[i] = m.SendSMS(&requests[i]);
  }
  m.Unint();

  size_t pending = 0, gave_up = 0;
  for (size_t i = 0; i < kMessages; ++i) {
    if (answers[i] == TALVEX_PENDING) {
      ++pending;
      ASSERT_EQ(counter.outcomes[i].load(), 1) << "request " << i;
      gave_up += counter.codes[i].load() == TALVEX_ABORTED;
    } else {
      ASSERT_EQ(counter.outcomes[i].load(), 0) << "request " << i << " answered " << answers[i];
    }
  }
  EXPECT_EQ(counter.stray.load(), 0);
  // The misbehaviour is mild enough that most messages get through, and real.
  EXPECT_GT(pending, kMessages * 8 / 10);
  EXPECT_LT(pending, kMessages);
  RecordProperty("pending", static_cast<int>(pending));
  RecordProperty("aborted", static_cast<int>(gave_up));
}

}  // namespace
}  // namespace talvenix::testing
