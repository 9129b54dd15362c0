// SPDX-License-Identifier: Apache-2.0
#include "gateways/messagemedia/message_media_service.hpp"

#include <cstddef>
#include <filesystem>
#include <system_error>

#include "contract/settings_tables.hpp"
#include "support/overrides.hpp"
#include "support/text_codec.hpp"

namespace talvenix {
namespace {

constexpr SettingsLogLines kSettingsLog = {
    "MessageMediaService::ConfigLoad - Invalid Parameter(s).",
    "MessageMediaService::ConfigLoad - Failed to load service configuration(s).",
    "MessageMediaService::ConfigUpdate - Invalid Parameter(s).",
    "MessageMediaService::ConfigUpdate - Failed to update service configuration(s).",
};
constexpr int32_t kShortText = 999;   // user name, password and sign-up link, load mode 0
constexpr int32_t kIntervalText = 9;  // poll interval, load mode 0
constexpr uint32_t kMinuteMs = 60000;

// The decimal value at the start of a text; 0 when it has none.
uint64_t DecimalValue(const char16_t* text) {
  uint64_t value = 0;
  for (; *text >= u'0' && *text <= u'9'; ++text) {
    value = value * 10 + static_cast<uint64_t>(*text - u'0');
    if (value > 0xFFFFFFFFull) return 0xFFFFFFFFull;
  }
  return value;
}

// A message's status from how its call ended: only the service's answer
// with no failed message is a success; every other end is 1.
int32_t StatusOfSend(TransportOutcome outcome, bool accepted) {
  return outcome == TransportOutcome::kAnswered && accepted ? TALVEX_OK : TALVEX_FAILED;
}

}  // namespace

MessageMediaService::MessageMediaService(ILogInterface* logger)
    : GenericGSMService(logger, kMessageMediaService, kSettingsLog) {
  client_ = soap_.NewClient(logger, no_client_);
}

MessageMediaService::~MessageMediaService() { ServiceUninit(); }

int MessageMediaService::ConfigLoad(IGSMConfigurationInterface* loader, void* settings_block, uint32_t mode) {
  const int result = GenericGSMService::ConfigLoad(loader, settings_block, mode);
  // Load mode 1 reads the properties' descriptions: never credentials.
  if (!loader || !settings_block || mode != 0) return result;
  const std::string endpoint = result ? Utf16ToUtf8(LoadGatewaySettings(loader)[kMessageMediaEndpoint]) : "";
  // The loaded values also become the running gateway's own.
  const auto* block = static_cast<const TalvexMessageMediaSettings*>(settings_block);
  {
    std::lock_guard lock(settings_mutex_);
    CopyBounded(settings_.username, kShortText, block->username);
    CopyBounded(settings_.poll_interval, kIntervalText + 1,
                DecimalValue(block->poll_interval) > 0 ? block->poll_interval : u"1");
    CopyBounded(settings_.password, kShortText, block->password);
    // UTF-8, so a user name or password outside Latin-1 reaches the service intact.
    std::string user = Utf16ToUtf8(settings_.username);
    std::string password = Utf16ToUtf8(settings_.password);
    if (client_) client_->SetCredentials(user.c_str(), password.c_str());
  }
  if (client_) client_->SetEndpoint(endpoint.c_str());
  return result;
}

int MessageMediaService::LoadServiceSpecficConfigurations(TalvexGenericOptions* options,
                                                          IGSMConfigurationInterface* loader) {
  options_ = options;
  // Loaded into a block of its own: the running fields are taken over under
  // the lock, never written by the loader while the poll thread reads them.
  auto fresh = std::make_unique<TalvexMessageMediaSettings>();
  const int result = ConfigLoad(loader, fresh.get(), 0);
  std::lock_guard lock(settings_mutex_);
  CopyBounded(settings_.signup_url, sizeof settings_.signup_url, fresh->signup_url);
  return result;
}

int32_t MessageMediaService::ServiceSendSMS(uint32_t, uint32_t, TalvexSmsRequest* request) {
  if (!initialised_ || !client_) {
    logger_->Error("MessageMediaService::ServiceSendSMS - Service is not properly initialized.");
    return TALVEX_NOT_INITIALISED;
  }
  if (!request || !request->part || !request->recipient) {
    logger_->Error("MessageMediaService::ServiceSendSMS - Invalid parameter(s).");
    return TALVEX_INVALID_PARAMETER;
  }
  bool accepted = false;
  const TransportOutcome outcome =
      client_->SendMessage(request->recipient, Utf16ToUtf8(request->part).c_str(), &accepted);
  if (outcome == TransportOutcome::kMaybeTaken)
    logger_->Error(
        "MessageMediaService::ServiceSendSMS - the request was sent but no answer came back, so the service may have "
        "taken it.");
  return StatusOfSend(outcome, accepted);
}

int MessageMediaService::ServiceInit(TalvexHostCallback callback, uintptr_t context,
                                     IGSMConfigurationInterface* loader) {
  if (initialised_) {
    logger_->Error("MessageMediaService::ServiceInit - Service already initialized.");
    return 0;
  }
  // The context is the host's own value, handed back unchanged: 0 is a valid one.
  if (!callback || !loader) {
    logger_->Error("MessageMediaService::ServiceInit - Invalid parameter(s).");
    return 0;
  }
  if (!client_) {
    logger_->Error("MessageMediaService::ServiceInit - the SOAP client is missing: %s. The gateway does not start.",
                   no_client_.c_str());
    return 0;
  }
  loader_ = loader;
  callback_ = callback;
  context_ = context;
  // cacerts.pem is looked for beside the configuration document.
  client_->SetCaFolder(std::filesystem::path(loader->GetDocumentPath()).parent_path().string().c_str());
  client_->Resume();
  initialised_ = 1;  // before the thread starts: its loop runs while this is set
  try {
    poll_thread_ = std::thread(&MessageMediaService::GetSMSsReceived, this);
  } catch (const std::system_error&) {
    initialised_ = 0;
    logger_->Error("MessageMediaService::ServiceInit - Failed to create thread m_hGetSMSsThread.");
    return 0;
  }
  return 1;
}

uint32_t MessageMediaService::PollIntervalMinutes() {
  std::lock_guard lock(settings_mutex_);
  const uint64_t minutes = DecimalValue(settings_.poll_interval);
  return minutes == 0 ? 1 : static_cast<uint32_t>(minutes);
}

void MessageMediaService::GetSMSsReceived() {
  if (!client_) {
    logger_->Error("MessageMediaService::GetSMSsReceived - Invalid Parameter(s).");
    return;
  }
  uint32_t fetches_in_row = 0;
  while (initialised_) {
    const uint64_t interval_ms = static_cast<uint64_t>(PollIntervalMinutes()) * kMinuteMs;
    const uint32_t wait_ms = PollIntervalMs(interval_ms < platform::kInfinite ? static_cast<uint32_t>(interval_ms)
                                                                              : platform::kInfinite - 1);
    // Signalled now: remaining replies, fetch at once. Signalled while
    // waiting: back to the loop test (this is how ServiceUninit ends the thread).
    const bool at_once = poll_event_.Wait(0);
    if (!at_once && poll_event_.Wait(wait_ms)) continue;
    if (!initialised_) break;
    uint64_t remaining = 0;
    uint32_t delivered = 0;
    if (!client_->GetIncomingSMSs(kMaxReplies, callback_, context_, &remaining, &delivered))
      logger_->Error("MessageMediaService::GetSMSsReceived - Failed to get incoming SMSs.");
    fetches_in_row = at_once ? fetches_in_row + 1 : 1;
    // Remaining replies are fetched at once, but only a few times in a row
    // and only after a fetch that brought some: a service that always
    // reports more would otherwise be asked again and again without a pause.
    if (remaining > 0 && delivered > 0 && fetches_in_row < kMaxFetchesInRow) poll_event_.Set();
  }
}

void MessageMediaService::ServiceUninit() {
  // The client stops first: once the gateway reports itself stopped, no
  // further reply reaches the host.
  if (client_) client_->Stop();
  initialised_ = 0;
  poll_event_.Set();
  if (poll_thread_.joinable()) poll_thread_.join();
  poll_event_.Reset();
}

int MessageMediaService::UpdateConfigs(uint32_t*, TalvexGenericOptions* options, uint32_t, uint32_t) {
  if (!options || !loader_) {
    logger_->Error("MessageMediaService::ServiceConfigChange - Invalid parameter(s).");
    return 0;
  }
  if (!initialised_) {
    logger_->Error("MessageMediaService::ServiceConfigChange - Service not initialized.");
    return 0;
  }
  auto fresh = std::make_unique<TalvexMessageMediaSettings>();
  ConfigLoad(loader_, fresh.get(), 0);
  return 1;
}

}  // namespace talvenix
