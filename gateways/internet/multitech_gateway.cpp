// SPDX-License-Identifier: Apache-2.0
#include "gateways/internet/multitech_gateway.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <system_error>

#include "contract/received_message.hpp"
#include "gateways/internet/http_client.hpp"
#include "gateways/internet/multitech_protocol.hpp"
#include "support/overrides.hpp"
#include "support/peer_text.hpp"
#include "support/text_codec.hpp"

namespace talvenix {
namespace {

constexpr SettingsLogLines kSettingsLog = {
    "MultitechISMSService::ConfigLoad - invalid parameter(s).",
    "MultitechISMSService::ConfigLoad - failed to load service configuration(s).",
    "MultitechISMSService::ConfigUpdate - invalid parameter(s).",
    "MultitechISMSService::ConfigUpdate - failed to update service configuration(s).",
};

// The code a device request gives its message before its answer is read
// (TALVEX_OK once it was answered). A send whose answer was lost may have
// been taken: never "unreachable", which a host may send again. A state
// query whose answer was lost tells as little as no device at all; one cut
// short by the stop leaves the state unknown.
int32_t CodeOfOutcome(TransportOutcome outcome, bool query) {
  switch (outcome) {
    case TransportOutcome::kAnswered:
      return TALVEX_OK;
    case TransportOutcome::kMaybeTaken:
      if (query) return TALVEX_MULTITECH_UNREACHABLE;
      return TALVEX_FAILED;
    case TransportOutcome::kNotSent:
      return TALVEX_MULTITECH_UNREACHABLE;
    case TransportOutcome::kCut:
      if (query) return TALVEX_PENDING;
      return TALVEX_MULTITECH_UNREACHABLE;
  }
  return TALVEX_MULTITECH_UNREACHABLE;
}

// The port text read as a decimal number (0 when it is not one), cut to 16 bits.
uint16_t PortOf(const char16_t* text) {
  uint32_t value = 0;
  size_t i = 0;
  while (text[i] == u' ' || text[i] == u'\t') ++i;
  for (; i < TALVEX_MULTITECH_VALUE_CHARS && text[i] >= u'0' && text[i] <= u'9'; ++i)
    value = value * 10 + static_cast<uint32_t>(text[i] - u'0');
  return static_cast<uint16_t>(value);
}

std::u16string FieldText(const char16_t* field) {
  return std::u16string(field, Utf16Length(field, TALVEX_MULTITECH_VALUE_CHARS));
}

// A received message's text as a log line may show it.
std::u16string LoggedText(const std::u16string& text) { return Utf8ToUtf16(PeerText(Utf16ToUtf8(text))); }

}  // namespace

MultitechISMSService::MultitechISMSService(ILogInterface* logger)
    : GenericGSMService(logger, kMultitechService, kSettingsLog),
      settings_(std::make_unique<TalvexMultitechSettings>()),
      send_connection_(logger),
      poll_connection_(logger) {}

MultitechISMSService::~MultitechISMSService() {
  // A worker left running would call into freed memory.
  if (worker_.joinable() || initialised_) ServiceUninit();
}

// ---- Settings --------------------------------------------------------------

int MultitechISMSService::ReloadSettings(IGSMConfigurationInterface* loader) {
  auto fresh = std::make_unique<TalvexMultitechSettings>();
  int result = ConfigLoad(loader, fresh.get(), 0);
  if (result) {
    std::lock_guard lock(settings_mutex_);
    settings_.swap(fresh);
  }
  return result;
}

int MultitechISMSService::LoadServiceSpecficConfigurations(TalvexGenericOptions*, IGSMConfigurationInterface* loader) {
  return ReloadSettings(loader);
}

MultitechISMSService::DeviceSettings MultitechISMSService::Settings() {
  std::lock_guard lock(settings_mutex_);
  return {FieldText(settings_->username), FieldText(settings_->password), FieldText(settings_->ipaddress),
          PortOf(settings_->port)};
}

int MultitechISMSService::UpdateConfigs(uint32_t*, TalvexGenericOptions* options, uint32_t, uint32_t) {
  if (!options || !loader_) {
    logger_->Error("MultitechISMSService::ServiceConfigChange - invalid parameter(s).");
    return 0;
  }
  if (!initialised_) {
    logger_->Error("MultitechISMSService::ServiceConfigChange - service not initialized.");
    return 0;
  }
  // A document that cannot be read leaves the settings in use as they were.
  if (!ReloadSettings(loader_)) return 0;
  logger_->Info("MultitechISMSService::ServiceConfigChange - configs reloaded.");
  return 1;
}

// ---- Sending ---------------------------------------------------------------

int32_t MultitechISMSService::ServiceSendSMS(uint32_t, uint32_t, TalvexSmsRequest* request) {
  if (!request) return TALVEX_INVALID_PARAMETER;
  if (!initialised_) {
    logger_->Error("MultitechISMSService::ServiceSendSMS - service not initialized.");
    return TALVEX_NOT_INITIALISED;
  }
  DeviceSettings s = Settings();
  const char* number = request->recipient ? request->recipient : "";
  std::u16string_view text = request->part ? std::u16string_view(request->part) : std::u16string_view();
  std::string path = multitech::BuildSendRequest(s.user, s.password, number, text, logger_);

  std::string response;
  const int32_t sent = CodeOfOutcome(send_connection_.send_request(response, path, s.host, s.port, false), false);
  if (sent == TALVEX_FAILED) {
    logger_->ErrorW(
        u"ServiceSendSMS: the request was sent but no whole answer came back, so the device may have "
        u"taken it. [request: %S ]",
        internet::MaskCredentials(path).c_str());
    return sent;
  }
  if (sent != TALVEX_OK) {
    logger_->ErrorW(u"ServiceSendSMS: error, failed to connect. [ip: %s] [port: %d ] [request: %S ]", s.host.c_str(),
                    static_cast<int>(s.port), internet::MaskCredentials(path).c_str());
    return sent;
  }
  uint32_t id = 0;
  int32_t r = multitech::ParseSendResponse(response, &id);
  if (r != TALVEX_PENDING) {
    logger_->Error("ServiceSendSMS: invalid response! [%s]", PeerText(response).c_str());
    return r;
  }
  std::u16string number16 = Utf8ToUtf16(number);
  logger_->InfoW(u"ServiceSendSMS: [num: %s][tracking-id: %d]", number16.c_str(), static_cast<int>(id));

  bool duplicate = false;
  {
    std::lock_guard lock(list_mutex_);
    auto older = std::find_if(tracked_.begin(), tracked_.end(), [id](const Tracked& t) { return t.id == id; });
    if (older != tracked_.end()) {
      // The device has restarted or wrapped its counter: the older request can
      // no longer be asked about, so it fails now and the newer one takes the id.
      finished_.push_back({older->request, TALVEX_FAILED});
      tracked_.erase(older);
      duplicate = true;
    }
    request->tracking_id = id;
    tracked_.push_back({request, id});
  }
  if (duplicate) {
    logger_->ErrorW(u"ServiceSendSMS: PROBLEM ID ALREADY EXISTS ... [tracking-id: %d]", static_cast<int>(id));
    logger_->ErrorW(u"ServiceSendSMS: the older request with [tracking-id: %d] is reported as failed.",
                    static_cast<int>(id));
  }
  wake_.Set();
  return TALVEX_PENDING;
}

// ---- Worker ----------------------------------------------------------------

int MultitechISMSService::ServiceInit(TalvexHostCallback callback, uintptr_t context,
                                      IGSMConfigurationInterface* loader) {
  if (initialised_ || worker_.joinable()) return 0;
  stop_ = false;
  poll_connection_.Resume();
  loader_ = loader;
  callback_ = callback;
  context_ = context;
  wake_.Reset();
  try {
    worker_ = std::thread(&MultitechISMSService::Work, this);
  } catch (const std::system_error&) {
    logger_->Error("MultitechISMSService::ServiceInit - failed to start the worker thread.");
    return 0;
  }
  initialised_ = 1;
  return 1;
}

void MultitechISMSService::ServiceUninit() {
  initialised_ = 0;
  stop_ = true;
  // A device that hangs must not hold up the stop; what the worker was
  // asking about is still tracked and given up below.
  poll_connection_.Abort();
  wake_.Set();
  if (worker_.joinable()) worker_.join();
  std::vector<Finished> finished;
  std::vector<Tracked> abandoned;
  {
    std::lock_guard lock(list_mutex_);
    finished.swap(finished_);
    abandoned.swap(tracked_);
  }
  for (const Finished& f : finished) Report(f.request, f.code);
  for (const Tracked& t : abandoned) Report(t.request, TALVEX_ABORTED);
}

void MultitechISMSService::Report(TalvexSmsRequest* request, int32_t code) {
  if (callback_) callback_(code, 0, TALVEX_EVENT_OUTCOME, context_, request, TALVEX_DATA_REQUEST);
}

void MultitechISMSService::Work() {
  const uint32_t interval = PollIntervalMs(kPollIntervalMs);
  wake_.Wait(interval);
  while (!stop_) {
    RunCycle();
    wake_.Wait(interval);
  }
}

void MultitechISMSService::RunCycle() {
  ReportFinished();
  query_smss_state();
  if (stop_) return;
  query_recvsms();
}

void MultitechISMSService::ReportFinished() {
  std::vector<Finished> finished;
  {
    std::lock_guard lock(list_mutex_);
    finished.swap(finished_);
  }
  for (const Finished& f : finished) Report(f.request, f.code);
}

void MultitechISMSService::query_smss_state() {
  std::vector<Tracked> local;
  {
    std::lock_guard lock(list_mutex_);
    local = tracked_;
  }
  std::string response;
  for (const Tracked& t : local) {
    // A stop request must not wait for a whole cycle over a long list.
    if (stop_) return;
    DeviceSettings s = Settings();
    std::string path = multitech::BuildQueryRequest(s.user, s.password, t.id);
    logger_->InfoW(u"MultitechISMSService::query_smss_state: querying SMS state [ID: %d]", static_cast<int>(t.id));
    int32_t outcome = CodeOfOutcome(poll_connection_.send_request(response, path, s.host, s.port, true), true);
    if (outcome == TALVEX_OK)
      outcome = multitech::ParseQueryResponse(response, logger_);
    else if (outcome == TALVEX_MULTITECH_UNREACHABLE)
      logger_->ErrorW(
          u"MultitechISMSService::query_smss_state: error, failed to connect.(treating as failure)[ip: %s][port: "
          u"%d][request: %S]",
          s.host.c_str(), static_cast<int>(s.port), internet::MaskCredentials(path).c_str());
    if (outcome == TALVEX_PENDING) continue;

    bool found = false;
    {
      std::lock_guard lock(list_mutex_);
      auto it = std::find_if(tracked_.begin(), tracked_.end(),
                             [&](const Tracked& e) { return e.request == t.request && e.id == t.id; });
      if (it != tracked_.end()) {
        tracked_.erase(it);
        found = true;
      }
    }
    if (!found) {
      // Given up meanwhile (its id was handed out again); it has its outcome already.
      logger_->ErrorW(u"MultitechISMSService::query_smss_state: NOT DELETED FROM MAIN VECTOR.");
      continue;
    }
    logger_->InfoW(u"MultitechISMSService::query_smss_state: deleted from main vector.");
    logger_->InfoW(u"MultitechISMSService::query_smss_state: callback.");
    Report(t.request, outcome);
  }
}

void MultitechISMSService::query_recvsms() {
  DeviceSettings s = Settings();
  std::string path = multitech::BuildRecvRequest(s.user, s.password);
  std::string response;
  // Not sent again after a lost answer: the device may have handed its messages out with it.
  const TransportOutcome reply = poll_connection_.send_request(response, path, s.host, s.port, false);
  if (reply == TransportOutcome::kCut) return;
  if (reply != TransportOutcome::kAnswered) {
    logger_->ErrorW(u"MultitechISMSService::query_recvsms: error, failed to connect. [ip: %s][port: %d]",
                    s.host.c_str(), static_cast<int>(s.port));
    return;
  }
  std::vector<multitech::ReceivedEntry> entries;
  if (multitech::parse_queryrecvmsg(response, entries, logger_) != 0) {
    logger_->ErrorW(u"MultitechISMSService::query_recvsms: error, invalid recv response.");
    return;
  }
  if (entries.empty()) return;
  logger_->InfoW(u"MultitechISMSService::query_recvsms: received %d SM(s).", static_cast<int>(entries.size()));
  ReceivedMessage message;
  for (const multitech::ReceivedEntry& e : entries) {
    std::u16string text;
    switch (e.encoding) {
      case multitech::TextEncoding::kUnicodeHex:
        text = multitech::DecodeUnicodeHex(e.text);
        logger_->InfoW(u"MultitechISMSService::query_recvsms: Message[%s] Encoding [UNICODE - HEX]",
                       LoggedText(text).c_str());
        break;
      case multitech::TextEncoding::kExtendedAscii:
        text = e.text;
        logger_->InfoW(u"MultitechISMSService::query_recvsms: Message[%s], Encoding[ExtendedASCII]",
                       LoggedText(text).c_str());
        break;
      case multitech::TextEncoding::kAscii:
        text = e.text;
        logger_->InfoW(u"MultitechISMSService::query_recvsms: Message[%s], Encoding[ASCII]", LoggedText(text).c_str());
        break;
    }
    TalvexReceivedMessage* r = message.get();
    r->service_flag = TALVEX_SERVICE_MULTITECH;
    r->line = 1;
    message.SetOriginator(e.sender);
    message.SetText(text);
    if (callback_) callback_(0, 0, TALVEX_EVENT_RECEIVED, context_, r, TALVEX_DATA_SMS);
  }
}

}  // namespace talvenix
