// SPDX-License-Identifier: Apache-2.0
#pragma once
// A GSM modem on a pseudo-terminal, for tests and benchmarks: it answers the
// AT commands of SMS work in PDU mode the way common USB modems do (echo
// until ATE0, ERROR and +CMS ERROR answers, a slow AT+CMGS if asked,
// indications in the middle of an answer), decodes every submitted PDU, keeps
// a SIM store, and produces deliveries and status reports. Its device is
// reached through a symbolic link, which Unplug removes and Replug points at
// a fresh pseudo-terminal, like a USB modem that leaves and comes back.
// Programs that cannot open a pseudo-terminal (Windows under Wine) drive one
// in a process beside them (modem_sim_server.cpp): the link is then a COM
// port, \\.\COM<n>, made a device of the Wine prefix.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "drivers/at/pdu.hpp"

namespace talvenix::testing {

class ModemSim {
 public:
  struct Options {
    std::string pin;                   // the SIM wants this PIN first (AT+CPIN="<pin>"); empty: no PIN
    std::string cpin_ready = "READY";  // how +CPIN: shows a ready SIM ("\"READY\"" on some modems)
    bool acknowledge = false;          // +CSMS service 1: wants AT+CNMA after +CMT and +CDS
    bool silent = false;               // reads everything, answers nothing
    bool refuse_cnmi = false;          // every AT+CNMI is refused: nothing is ever announced
    uint32_t not_ready_ms = 0;         // SMS commands answer +CMS ERROR: 302 this long after start and restart
    std::string amid_reads;            // a status code written between +CMGR:/+CMGL: and the PDU
    bool stale_ok = false;             // an OK of nothing before every prompt
    std::string prompt = "> ";         // some modems leave out the blank
  };
  struct Submitted {
    std::string hex;
    at::Submit pdu;
    uint8_t reference = 0;
  };

  explicit ModemSim(std::string link, Options options);
  explicit ModemSim(std::string link) : ModemSim(std::move(link), Options{}) {}
  ~ModemSim();
  ModemSim(const ModemSim&) = delete;
  ModemSim& operator=(const ModemSim&) = delete;

  const std::string& link() const { return link_; }

  // The next `count` submits are answered "+CMS ERROR: code".
  void FailSubmits(int count, int code);
  // Every submit is answered after this delay. Meanwhile the modem reads no input.
  void SetSubmitDelay(uint32_t ms);
  // The next submits are answered after these delays, while the modem goes on
  // reading and answering other commands meanwhile.
  void AnswerSubmitsLater(const std::vector<uint32_t>& delays_ms);
  // `percent` of the submits are answered after a delay between the bounds
  // (the rest at once), chosen by a generator seeded with `seed`.
  void SetLateSubmits(int percent, uint32_t min_ms, uint32_t max_ms, unsigned seed);
  // The next `count` reads (AT+CMGR) are answered "+CMS ERROR: code".
  void FailReads(int count, int code);
  // Registration status for AT+CREG? and AT+CEREG? (1 home, 2 searching, 5 roaming).
  void SetRegistration(int stat);
  // The modem restarts without leaving USB: echo on, indications off, a
  // banner, and the not-ready window again.
  void Restart(const std::string& banner = "RDY");
  // A message already on the SIM (before the line starts).
  int Store(const std::string& pdu);
  // A message arriving from the network: stored and indicated by +CMTI, or
  // handed over directly by +CMT.
  void DeliverStored(const std::string& pdu);
  void DeliverDirect(const std::string& pdu);
  // The status report of a submitted message, by +CDS or stored (+CDSI).
  void ReportStatus(uint8_t reference, uint8_t status, bool stored = false);
  // A line written in the middle of the next answer, before its final result.
  void InjectIntoNextAnswer(const std::string& line);

  void Unplug();
  void Replug();

  bool WaitSubmitted(size_t count, int timeout_ms = 5000);
  // True once a command starting with `prefix` arrived.
  bool WaitCommand(const std::string& prefix, int timeout_ms = 5000);
  std::vector<Submitted> submitted();
  std::vector<std::string> commands();
  size_t stored_count();
  int acknowledgements();
  int pin_attempts();

  // SMS-DELIVER PDUs (with an SMSC part) the way a network sends them.
  static std::string DeliverPdu(const std::string& originator, const std::u16string& text, at::Concat concat = {},
                                bool ucs2 = false);
  // The SMS-STATUS-REPORT PDU (with an SMSC part) of the message `reference` to `recipient`.
  static std::string StatusReportPdu(uint8_t reference, const std::string& recipient, uint8_t status);

 private:
  // What one implementation keeps: the pseudo-terminal and the modem's state
  // (modem_sim.cpp), or the connection to a process that runs the simulator
  // for a program that cannot open a pseudo-terminal (modem_sim_remote.cpp).
  struct State;

  // The pseudo-terminal's side (modem_sim.cpp).
  void Run();
  void Plug();
  void Close();
  void Write(const std::string& bytes);
  void Answer(const std::string& body, const std::string& final_result = "OK");
  bool NotReady() const;
  std::string AmidRead() const;
  void Command(std::string line);
  void Submit(const std::string& hex);
  void AnswerLater(uint32_t delay_ms, std::string body, std::string final_result);
  std::string StoreLocked(const std::string& pdu, int& index);

  std::string link_;
  std::unique_ptr<State> s_;
};

}  // namespace talvenix::testing
