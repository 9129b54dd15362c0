// SPDX-License-Identifier: Apache-2.0
#pragma once
// A simulated iSMS device: the HTTP API ("/sendmsg", "/querymsg", "/recvmsg")
// answered as the device answers it, on a loopback port, with controls for
// tests (each message's state sequence, delays, device errors, dropped
// connections, duplicate ids, random misbehaviour) and an inbox of received
// messages written as the device writes them. Every control and observation
// may be used from any thread while the server runs.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace talvenix::peers {

// One message the device received over the air, as its XML shows it.
struct InboxMessage {
  std::string sender = "+15550002";
  std::string text;                   // written into <Message> as given (already encoded)
  std::string encoding = "ASCII";     // <EncodingFlag>: ASCII, ExtendedASCII or Unicode
  std::string modem = "1:+15550001";  // <ModemNumber>
  std::string date = "12/08/26";
  std::string time = "10:15:00";

  // Plain ASCII text, written URL-encoded as the device does.
  static InboxMessage Ascii(std::string sender, const std::string& text);
  // Any text, written as four hexadecimal digits per UTF-16 unit.
  static InboxMessage Unicode(std::string sender, const std::u16string& text);
};

// Random misbehaviour, each a probability per request (0 to 1).
struct Chaos {
  double delay = 0;      // answer after a pause of up to max_delay_ms
  double drop = 0;       // close the connection without a complete answer
  double error = 0;      // answer "Err: 6xx" (busy, time-out, parsing error)
  double duplicate = 0;  // a send answers with an id handed out before
  int max_delay_ms = 5;
  uint32_t seed = 1;
};

// A message the device accepted through "/sendmsg".
struct AcceptedMessage {
  uint32_t id = 0;
  std::string to;       // the number without its quotes
  std::u16string text;  // decoded from the hexadecimal units
  std::string user, password;
};

class IsmsDeviceSim {
 public:
  // Listens on 127.0.0.1:port (0: a free port) once Start succeeds.
  explicit IsmsDeviceSim(std::string user = "admin", std::string password = "admin");
  ~IsmsDeviceSim();
  IsmsDeviceSim(const IsmsDeviceSim&) = delete;
  IsmsDeviceSim& operator=(const IsmsDeviceSim&) = delete;

  // False when the port cannot be bound. A stopped device may start again
  // (on the same port when `port` is its old one).
  bool Start(int port = 0);
  // Stops answering; returns once the server thread has ended.
  void Stop();
  int port() const { return port_; }

  // The one account the API accepts from now on.
  void SetCredentials(std::string user, std::string password);
  // One more account the API accepts.
  void AddAccount(std::string user, std::string password);
  // States that queries of messages accepted from now on answer in turn
  // ("3", "0", "Done", or anything at all); the last one repeats. Default {"0"}.
  void SetStates(std::vector<std::string> states);
  // The states that the next queries of message `id` answer in turn.
  void SetMessageStates(uint32_t id, std::vector<std::string> states);
  // The next sends answer with these ids instead of fresh ones.
  void QueueIds(std::vector<uint32_t> ids);
  // The next `count` sends answer "Err: code".
  void FailSends(int code, int count);
  // Every answer is sent after this pause.
  void SetDelayMs(int ms);
  // Replaces every answer to this path ("/sendmsg", "/querymsg", "/recvmsg")
  // with `body` (HTTP status `status`); an empty body restores the device.
  void OverrideAnswer(const std::string& path, std::string body, int status = 200);
  void SetChaos(const Chaos& chaos);
  // Received messages that the next "/recvmsg" returns (once).
  void AddInbox(InboxMessage message);

  std::vector<std::string> Requests() const;  // every request target, raw, in arrival order
  std::vector<AcceptedMessage> Accepted() const;
  size_t CountRequests(const std::string& path) const;
  // Requests answered or dropped since the start, and a wait (bounded by
  // timeout_ms) until at least `count` have been.
  uint64_t RequestCount() const;
  bool WaitForRequestCount(uint64_t count, int timeout_ms) const;

  // The "/recvmsg" answer for these messages, as the device writes it.
  static std::string RecvDocument(const std::vector<InboxMessage>& messages);

 private:
  struct Tracked {
    std::vector<std::string> states;
    size_t next = 0;
  };
  void Handle(const httplib::Request& request, httplib::Response& response);
  // The answer body; false when the connection is to be dropped.
  bool Answer(const std::string& path, const std::map<std::string, std::string>& query, std::string& body, int& status);
  std::string AnswerSend(const std::map<std::string, std::string>& query, bool chaos_duplicate);
  std::string AnswerQuery(const std::map<std::string, std::string>& query);
  std::string AnswerRecv();

  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;

  mutable std::mutex mutex_;
  mutable std::condition_variable handled_;
  uint64_t handled_count_ = 0;
  std::vector<std::pair<std::string, std::string>> accounts_;
  std::vector<std::string> states_{"0"};
  std::deque<uint32_t> queued_ids_;
  int fail_code_ = 0, fail_count_ = 0;
  int delay_ms_ = 0;
  std::map<std::string, std::pair<std::string, int>> overrides_;
  Chaos chaos_;
  std::mt19937 random_{1};
  std::vector<InboxMessage> inbox_;
  uint32_t next_id_ = 1;
  std::map<uint32_t, Tracked> messages_;
  std::vector<std::string> requests_;
  std::vector<AcceptedMessage> accepted_;
};

}  // namespace talvenix::peers
