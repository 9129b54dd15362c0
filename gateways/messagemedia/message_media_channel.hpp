// SPDX-License-Identifier: Apache-2.0
#pragma once
// One gSOAP context of the MessageMedia client with its lock, and the
// transport under it: gSOAP's own sockets with OpenSSL on POSIX
// (message_media_channel_posix.cpp), WinHTTP behind gSOAP's I/O callbacks on
// Windows (message_media_channel_win.cpp), where Windows' own TLS, root store
// and proxy settings apply. Private to this folder.

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "gateways/messagemedia/message_media_api_wrapper.hpp"
#include "soapMessageMediaServiceBindingProxy.h"

namespace talvenix {

using MessageMediaServiceBinding = MessageMediaServiceBindingProxy;

struct MessageMediaServiceAPIWrapper::Channel {
  Channel();
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Sets up the call about to start on this thread: endpoint, limits, proxy
  // and TLS. `ca_folder` is searched for "cacerts.pem" where the platform
  // verifies against a file. `stops_at_once`: Stop cuts the call short
  // (sends and fetches, not confirmations). False, with the reason in `error`
  // and the call ended, when TLS cannot be set up; else EndCall follows on
  // the same thread. Called with `mutex` held.
  bool BeginCall(const std::string& endpoint, const std::string& ca_folder, const Limits& limits, bool stops_at_once,
                 std::string& error);
  // Ends the call: a failed one leaves no half-read connection behind.
  void EndCall(bool failed);
  // Why the last call failed, fit for a log line; empty when nothing is known.
  std::string FailureText();
  // How the last call ended, for a call that did not return SOAP_OK.
  TransportOutcome Outcome();

  // Any thread: calls that stop at once end now, the others within
  // kConfirmGraceMs, and later ones too until Resume.
  void Stop();
  void Resume();
  bool Stopping();

  std::mutex mutex;  // one call at a time on this context
  MessageMediaServiceBinding binding;

  struct Transport;  // the platform's state of the call under way
  std::unique_ptr<Transport> transport;
};

// Why a call was cut short by the client itself.
enum class CallCut { kNone, kStopped, kDeadline, kSilent };

// When the call under way must end: at its deadline, or on Stop (at once
// for a call that stops at once, else kConfirmGraceMs later), and why it was
// cut short. Guarded by the transport's lock.
struct CallEnd {
  using Clock = std::chrono::steady_clock;

  // A new call, to end by `call_deadline`.
  void Begin(Clock::time_point call_deadline, bool stops_at_once);
  // What the call may still take at `now`; zero when it must end now (why in `cut`).
  Clock::duration Remaining(Clock::time_point now);
  void Stop(Clock::time_point now);
  // Stop ends the call under way now.
  bool StopCuts() const { return stopping && cut_on_stop; }

  Clock::time_point deadline;
  bool cut_on_stop = false;         // the call under way ends at once on Stop
  bool stopping = false;            // from Stop until Resume
  Clock::time_point stop_deadline;  // when calls that may finish after Stop are cut too
  CallCut cut = CallCut::kNone;
  bool request_sent = false;  // the whole request went out: the service may have it
};

// The failure text of a call: the cut when there was one, else an answer over
// the length limit, else gSOAP's fault string (peer text, escaped); empty when
// nothing is known.
std::string CallFailureText(CallCut cut, const IMessageMediaClient::Limits& limits, soap* s);

// How a call that did not return SOAP_OK ended: a fault or an HTTP error
// status is the service's answer; else it was cut by a stop, or lost before
// or after the whole request went out.
TransportOutcome CallOutcome(const CallEnd& end, soap* s);

}  // namespace talvenix
