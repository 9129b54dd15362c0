// SPDX-License-Identifier: Apache-2.0
#pragma once
// Test peers of the MessageMedia gateway, started by the tests on loopback:
// SoapPeer, a gSOAP server generated from the same interface header (plain
// HTTP, or TLS with a certificate made by the test), with controls for its
// answers and a record of what it received, on every platform;
// RawAnswerPeer (POSIX only, raw_answer_peer.cpp), which answers every
// request with one hand-written HTTP answer, so the header cannot drift from
// the wire format unnoticed.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct soap;

namespace talvenix::testing {

struct PeerReply {
  uint64_t receipt_id;
  std::string origin, content;
};

class SoapPeer {
 public:
  // TLS when both files are given; `port` 0 takes a free one.
  explicit SoapPeer(const std::string& cert_file = {}, const std::string& key_file = {}, int port = 0);
  ~SoapPeer();
  int port() const { return port_; }
  std::string url() const;

  // Controls (any thread).
  void FailWith(const std::string& code);    // empty: every message sent
  void FaultWith(const std::string& fault);  // empty: no fault
  // `every_fetch`: the same replies answer every later fetch too.
  void QueueReplies(std::vector<PeerReply> replies, uint64_t remaining, bool every_fetch = false);
  void DelayFetches(int ms);
  // Answers go out one byte every `ms` (0: at once); each records "trickle".
  void TrickleAnswers(int ms);

  // Record.
  struct Sent {
    std::string user, password, recipient, content, send_mode, format;
  };
  std::vector<Sent> sent();
  std::vector<std::string> requests();  // every byte each connection brought, headers included
  std::vector<std::string> events();    // "fetch", "confirm:<id>", and what the test adds
  void AddEvent(const std::string& event);
  int fetches();

  struct Impl;

 private:
  void Run();
  Impl* impl_;
  int port_ = 0;
  bool tls_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class RawAnswerPeer {
 public:
  explicit RawAnswerPeer(std::string answer);  // a whole HTTP answer, written as is
  ~RawAnswerPeer();
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
  void SetAnswer(std::string answer);
  std::vector<std::string> requests();

 private:
  void Run();
  int listener_ = -1;
  int port_ = 0;
  std::mutex mutex_;
  std::string answer_;
  std::vector<std::string> requests_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// What the server needs of the platform (soap_peer_posix.cpp, soap_peer_win.cpp):
// the settings of its context before it binds (on POSIX, a client that
// leaves raises no SIGPIPE), and TLS, which only the POSIX build's gSOAP has.
void PreparePeerSockets(soap* s);
bool PeerTlsContext(soap* s, const std::string& cert_file, const std::string& key_file);
bool PeerTlsAccept(soap* s);

// An HTTP 200 answer carrying a SOAP envelope with `body` inside SOAP-ENV:Body.
std::string SoapAnswer(const std::string& body, const std::string& ns = "http://xml.m4u.com.au/2009");
std::string HttpAnswer(const std::string& status, const std::string& content_type, const std::string& body);

// A CA, and a server certificate for 127.0.0.1 signed by it, made with the
// openssl command in `folder`: ca.pem, server.pem, server.key.
bool MakeCertificates(const std::string& folder, const std::string& prefix = "");

}  // namespace talvenix::testing
