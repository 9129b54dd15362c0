// SPDX-License-Identifier: Apache-2.0
#pragma once
// Where the MessageMedia gateway (in the module) meets its SOAP client,
// which lives with gSOAP in a library of its own (libtalvenix_soap.so,
// talvenix_soap.dll) because gSOAP is not under the module's licence: the
// module loads it only when this gateway starts, and runs without it
// otherwise. Only plain types cross: the two sides share no C++ library
// state, and on Windows each carries its own runtime.

#include <cstdint>

#include "contract/log_interface.hpp"
#include "contract/transport_outcome.hpp"
#include "talvenix/talvenix.h"

namespace talvenix {

class IMessageMediaClient {
 public:
  // Limits of every call, as the HTTP client has them.
  struct Limits {
    uint32_t connect_ms = 60000;          // connecting, TLS handshake included
    uint32_t silence_ms = 30000;          // a call that receives or sends nothing this long ends
    uint32_t total_ms = 300000;           // no call lasts longer, however slowly the answer trickles
    uint64_t max_answer_bytes = 1 << 20;  // a longer answer fails the call
  };
  // What a confirmation may still take once Stop is called: a reply the host
  // already has must not come back, yet stopping must not wait for long.
  static constexpr uint32_t kConfirmGraceMs = 5000;

  // UTF-8 texts, sent with every later call; copied.
  virtual void SetCredentials(const char* user_id, const char* password) = 0;
  // The whole URL ("https://…" or "http://…"); empty restores the default.
  virtual void SetEndpoint(const char* url) = 0;
  // The folder searched for "cacerts.pem" (TALVENIX_CA_FILE overrides it;
  // without either file the system CA bundle is used).
  virtual void SetCaFolder(const char* folder) = 0;
  virtual void SetLimits(const Limits& limits) = 0;

  // One sendMessages call for one recipient: how the call ended and, when
  // the service answered, whether it reports no failed message
  // (`accepted`). Every failure is logged.
  virtual TransportOutcome SendMessage(const char* recipient, const char* text_utf8, bool* accepted) = 0;

  // One checkReplies call for at most `max_replies`; each reply goes to the
  // callback (event 1) in list order and is confirmed right after it. Once
  // Stop is called no further reply is handed over (those stay on the
  // service, unconfirmed). False on a failed call (remaining is then 0).
  // `delivered` counts the replies handed to the callback.
  virtual bool GetIncomingSMSs(uint32_t max_replies, TalvexHostCallback callback, uintptr_t context,
                               uint64_t* remaining, uint32_t* delivered) = 0;

  // Makes a send or fetch in flight end now and refuses new ones until
  // Resume (used by shutdown, so it never waits for a slow server). A
  // confirmation in flight or still to come gets kConfirmGraceMs. Any thread.
  virtual void Stop() = 0;
  virtual void Resume() = 0;

  // Frees the client in the library that made it.
  virtual void Release() = 0;

 protected:
  ~IMessageMediaClient() = default;
};

// The library's one entry point: a new client logging to `logger` (not
// owned, outlives the client), or null when `version` is not this one or
// memory ran out.
constexpr uint32_t kMessageMediaClientVersion = 2;
constexpr const char* kMessageMediaClientEntry = "talvenix_soap_new_client";
using NewMessageMediaClientFn = IMessageMediaClient* (*)(uint32_t version, ILogInterface* logger);

}  // namespace talvenix
