// SPDX-License-Identifier: Apache-2.0
#pragma once
// An engine over a GoogleMock loader that serves global options from a map,
// and a gateway that records every part it is asked to send.

#include <gmock/gmock.h>

#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/fake_document.hpp"
#include "common/recording_logger.hpp"
#include "engine/gsm_engine.hpp"
#include "support/text_codec.hpp"

namespace talvenix::testing {

class MockLoader : public IGSMConfigurationInterface {
 public:
  MOCK_METHOD(int, ReloadConfiguration, (), (override));
  MOCK_METHOD(int, ResolveSrvNameFromID, (const char16_t*, char*, size_t), (override));
  MOCK_METHOD(int, ResolveIDFromSrvName, (const char*, char*, size_t), (override));
  MOCK_METHOD(int, LoadGlobalConfigs, (ConfigTable*), (override));
  MOCK_METHOD(int, UpdateGlobalConfigs, (ConfigTable*), (override));
  MOCK_METHOD(int, LoadServiceConfigs, (const char16_t*, ConfigTable*, int), (override));
  MOCK_METHOD(int, UpdateServiceConfigs, (const char16_t*, ConfigTable*), (override));
  MOCK_METHOD(int, LoadServiceConfigsEx, (const char16_t*, const char16_t*, std::vector<LinePropertyItem>*),
              (override));
  MOCK_METHOD(int, UpdateServiceConfigsEx, (const char16_t*, int, const char16_t*, std::vector<LinePropertyItem>*),
              (override));
  MOCK_METHOD(int, CreateNewLine, (const char16_t*, const LineTemplate*), (override));
  MOCK_METHOD(int, DeleteLine, (const char16_t*, int), (override));
  MOCK_METHOD(ILogInterface*, GetLogger, (), (override));
  MOCK_METHOD(int, findinitproperty, (const char*), (override));
  MOCK_METHOD(int, findnextproperty, (char*, size_t, char16_t*, size_t, char*, size_t), (override));
};

inline std::unique_ptr<::testing::NiceMock<MockLoader>> MakeLoader(const FakeDocument& doc, ILogInterface* log) {
  using ::testing::_;
  auto loader = std::make_unique<::testing::NiceMock<MockLoader>>();
  ON_CALL(*loader, GetLogger()).WillByDefault(::testing::Return(log));
  ON_CALL(*loader, ReloadConfiguration()).WillByDefault(::testing::Return(doc.reload_ok ? 1 : 0));
  ON_CALL(*loader, LoadGlobalConfigs(_)).WillByDefault([doc](ConfigTable* t) { return ServeGlobalOptions(doc, t); });
  ON_CALL(*loader, ResolveIDFromSrvName(_, _, _)).WillByDefault([doc](const char* name, char* out, size_t size) {
    auto it = doc.transports.find(name);
    if (it == doc.transports.end()) return 0;
    CopyBounded(out, size, it->second);
    return 1;
  });
  return loader;
}

// Records every part; answers from a script of codes (0 once it runs out).
class RecordingGateway : public GenericGSMService {
 public:
  RecordingGateway(ILogInterface* log, uint32_t capabilities) : GenericGSMService(log) {
    capability_flags_ = capabilities;
  }
  void FreeXMLLoadResources(void*) override {}
  int ConfigUpdate(IGSMConfigurationInterface*, void*, uint32_t) override { return 1; }
  int ConfigLoad(IGSMConfigurationInterface*, void*, uint32_t) override { return 1; }
  int LoadServiceSpecficConfigurations(TalvexGenericOptions*, IGSMConfigurationInterface*) override {
    ++loads;
    return load_result;
  }
  int32_t ServiceSendSMS(uint32_t one, uint32_t disable_unicode, TalvexSmsRequest* request) override {
    size_t n;
    {
      std::lock_guard lock(mutex);
      parts.emplace_back(request->part ? request->part : u"<null>");
      ones.push_back(one);
      unicode_flags.push_back(disable_unicode);
      n = parts.size() - 1;
    }
    if (on_send) on_send(request);
    return n < codes.size() ? codes[n] : 0;
  }
  int ServiceInit(TalvexHostCallback, uintptr_t, IGSMConfigurationInterface*) override {
    initialised_ = init_result;
    return init_result;
  }
  void ServiceUninit() override {
    ++uninits;
    initialised_ = 0;
  }
  int UpdateConfigs(uint32_t*, TalvexGenericOptions*, uint32_t b, uint32_t a) override {
    update_values = {a, b};
    ++updates;
    return update_result;
  }
  const char* GetServiceName() override { return "Recording Gateway"; }

  std::mutex mutex;
  std::function<void(TalvexSmsRequest*)> on_send;  // runs after recording, on the sending thread
  std::vector<std::u16string> parts;
  std::vector<uint32_t> ones, unicode_flags;
  std::vector<int32_t> codes;
  int load_result = 1, init_result = 1, update_result = 1;
  int loads = 0, uninits = 0, updates = 0;
  std::pair<uint32_t, uint32_t> update_values{0, 0};
};

class TestEngine : public GSMEngine {
 public:
  TestEngine(ILogInterface* log, FakeDocument* doc) : GSMEngine(log), doc_(doc), log_(log) {}

  std::unique_ptr<IGSMConfigurationInterface> CreateConfigLoader(const char*, const char*) override {
    ++loaders_made;
    if (fail_loader) return nullptr;
    return MakeLoader(*doc_, log_);
  }
  std::unique_ptr<GenericGSMService> FactoryConstructGSMService(uint32_t flag) override {
    last_flag = flag;
    if (flag != TALVEX_SERVICE_NULL) return GSMEngine::FactoryConstructGSMService(flag);
    auto g = std::make_unique<RecordingGateway>(log_, capabilities);
    g->codes = codes;
    g->load_result = load_result;
    g->init_result = init_result;
    gateway = g.get();
    return g;
  }

  uint32_t capabilities = 0;
  std::vector<int32_t> codes;
  int load_result = 1, init_result = 1;
  bool fail_loader = false;
  int loaders_made = 0;
  uint32_t last_flag = 99;
  RecordingGateway* gateway = nullptr;  // owned by the engine

 private:
  FakeDocument* doc_;
  ILogInterface* log_;
};

// A host-owned request over a buffer of the given capacity.
struct HostRequest {
  explicit HostRequest(const std::u16string& text, size_t capacity = 0) {
    buffer.assign(capacity ? capacity : text.size() + 1, u'\0');
    std::memcpy(buffer.data(), text.data(), std::min(text.size(), buffer.size()) * sizeof(char16_t));
    request = std::make_unique<TalvexSmsRequest>();
    request->text = buffer.data();
    request->text_capacity = static_cast<uint32_t>(buffer.size());
    request->recipient = "+15550100";
  }
  std::u16string HostText() const { return std::u16string(buffer.data(), Utf16Length(buffer.data(), buffer.size())); }
  std::vector<char16_t> buffer;
  std::unique_ptr<TalvexSmsRequest> request;
};

}  // namespace talvenix::testing
