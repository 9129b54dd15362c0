// SPDX-License-Identifier: Apache-2.0
// The `talvenix` program as people mistype it: every mistake in the
// arguments is a usage error (exit 2) that names what was wrong, and failures
// say where the cause lies.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "common/temp_folder.hpp"
#include "gateways/modem/gsm_document.hpp"
#include "host/run_program.hpp"

namespace talvenix::testing {
namespace {

class TalvenixProgram : public ::testing::Test {
 protected:
  // Runs the program in the test's folder with `arguments` (shell words).
  Outcome Run(const std::string& arguments, const std::string& environment = "") {
    std::string command = "cd " + folder.path().string() + " && " + environment + " " +
                          std::string(TALVENIX_BINARY_DIR) + "/bin/talvenix " + arguments;
    return RunShell(command);
  }

  TempFolder folder{"program"};
};

TEST_F(TalvenixProgram, EveryArgumentMistakeIsAUsageErrorNamingIt) {
  const std::pair<std::string, std::string> cases[] = {
      {"--dir .", "give a command"},
      {"--dir", "--dir needs a value"},
      {"--verbose send Hi", "unknown option --verbose"},
      {"send --to", "--to needs a value"},
      {"send --to --from me Hi", "--to needs a value"},
      {"send --wait soon Hi", "--wait takes a number of seconds from 0 to 86400, not 'soon'"},
      {"send --colour red Hi", "unknown option --colour"},
      {"send Hello there", "unexpected argument 'there'"},
      {"send \"\"", "the message text is empty"},
      {"test-sms --to 1 --line -1 Hi", "--line takes a whole number from 0 to 4294967295, not '-1'"},
      {"test-sms --to 1 --line 4294967296 Hi", "--line takes a whole number from 0 to 4294967295, not '4294967296'"},
      {"test-sms Hi", "give --to NUMBER"},
      {"test-sms --to 1 --to 2 Hi", "--to is given more than once"},
      {"listen --seconds", "--seconds needs a value"},
      {"listen 5", "unexpected argument '5'"},
      {"codes all", "unexpected argument 'all'"},
      {"lines add --port 4294967296", "--port takes a whole number from 1 to 4294967295"},
      {"lines add --port 0", "--port takes a whole number from 1 to 4294967295"},
      {"lines delete", "give --port N"},
      {"config", "give show, set NAME VALUE, check or cipher VALUE"},
  };
  for (const auto& [arguments, message] : cases) {
    Outcome outcome = Run(arguments);
    EXPECT_EQ(outcome.status, 2) << arguments << "\n" << outcome.output;
    EXPECT_NE(outcome.output.find(message), std::string::npos) << arguments << "\n" << outcome.output;
  }
  EXPECT_EQ(Run("--help").status, 0);
}

TEST_F(TalvenixProgram, EachCommandExplainsItselfAndEveryStatusCodeHasAName) {
  // A command's --help needs no document and says what its options are.
  Outcome add = Run("lines add --help");
  EXPECT_EQ(add.status, 0) << add.output;
  for (const char* option : {"--baud", "--no-receive", "--status-reports", "cnmiparameters"})
    EXPECT_NE(add.output.find(option), std::string::npos) << option << "\n" << add.output;
  Outcome send = Run("send -h");
  EXPECT_EQ(send.status, 0) << send.output;
  EXPECT_NE(send.output.find("--wait SECONDS"), std::string::npos) << send.output;
  EXPECT_EQ(Run("send -- -h").status, 1);  // a text, sent: no document here

  Outcome codes = Run("codes");
  EXPECT_EQ(codes.status, 0);
  for (const char* code : {"  41  provider refused", "  58  login refused", "  74  no credit", " 112  pending"})
    EXPECT_NE(codes.output.find(code), std::string::npos) << code << "\n" << codes.output;
}

TEST_F(TalvenixProgram, APendingSendEndsWithItsOutcome) {
  folder.Write("qvsmscomms.xml", GsmDocument({{4}}));
  const std::string driver = std::string("TALVENIX_GSM_DRIVER=") + TALVENIX_GSMSIM_PATH;
  Outcome sent = Run("send --wait 120 Hi", driver + " GSMSIM_DEMO=1");
  EXPECT_EQ(sent.status, 0) << sent.output;
  EXPECT_NE(sent.output.find("send: 112 pending"), std::string::npos) << sent.output;
  EXPECT_NE(sent.output.find("outcome: 0 success"), std::string::npos) << sent.output;

  Outcome failed = Run("send --wait 120 Hi", driver + " GSMSIM_DEMO=fail");
  EXPECT_EQ(failed.status, 1) << failed.output;
  EXPECT_NE(failed.output.find("send: 112 pending"), std::string::npos) << failed.output;
  EXPECT_NE(failed.output.find("outcome: 1 failure"), std::string::npos) << failed.output;
}

TEST_F(TalvenixProgram, FailuresPointAtTheirRealCause) {
  folder.Write("qvsmscomms.xml", "<vantrelcomms>\n  <sms>\n");
  Outcome set = Run("config set maxsmssplit 4");
  EXPECT_EQ(set.status, 1);
  EXPECT_NE(set.output.find("nothing was changed: qvsmscomms.xml cannot be read (Parsing error on line 2"),
            std::string::npos)
      << set.output;
  EXPECT_EQ(set.output.find("writable"), std::string::npos) << set.output;

  std::string long_name(100000, 'n');
  folder.Write("qvsmscomms.xml",
               "<vantrelcomms><sms><config>\n<option name=\"enableengine\" value=\"yes\"/>\n"
               "<option name=\"selectedservice\" value=\"" +
                   long_name + "\"/></config><services><service name=\"" + long_name +
                   "\" transport=\"nuldrv\"/></services></sms></vantrelcomms>\n");
  Outcome check = Run("config check");
  EXPECT_EQ(check.status, 1);
  EXPECT_NE(check.output.find("qvsmscomms.xml:3: error: the option \"selectedservice\" is 100000 bytes long; the "
                              "engine reads at most 898"),
            std::string::npos)
      << check.output.substr(0, 500);

  // The test channel's private folder is taken by something not ours.
  std::filesystem::create_directories(folder.path() / "run");
  folder.Write("run/talvenix", "not a folder");
  Outcome test = Run("test-sms --to +15550100 Hi", "XDG_RUNTIME_DIR=" + (folder.path() / "run").string());
  EXPECT_EQ(test.status, 1);
  EXPECT_NE(test.output.find("Its private folder " + (folder.path() / "run/talvenix").string() +
                             " cannot be used (Not a directory)"),
            std::string::npos)
      << test.output;
  EXPECT_EQ(test.output.find("outgoing folder"), std::string::npos) << test.output;
}

}  // namespace
}  // namespace talvenix::testing
