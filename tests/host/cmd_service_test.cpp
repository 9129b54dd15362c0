// SPDX-License-Identifier: Apache-2.0
// `talvenix service` as a person uses it, on a document selecting Clickatell.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "common/temp_folder.hpp"
#include "gateways/internet/clickatell_document.hpp"
#include "host/run_program.hpp"
#include "support/value_cipher.hpp"

namespace talvenix::testing {
namespace {

class ServiceCommand : public ::testing::Test {
 protected:
  ServiceCommand() {
    folder.Write("qvsmscomms.xml", ClickatellDocument({"old-id", "alice", "hunter2", ""}, "http://127.0.0.1:9"));
  }
  Outcome Run(const std::string& arguments) {
    std::string command =
        std::string(TALVENIX_BINARY_DIR) + "/bin/talvenix --dir " + folder.path().string() + " service " + arguments;
    return RunShell(command);
  }
  TempFolder folder{"service-command"};
};

TEST_F(ServiceCommand, SetThenShowRoundTripsAndHidesThePassword) {
  Outcome set = Run("set [apiid] 'key & more é'");
  ASSERT_EQ(set.status, 0) << set.output;
  ASSERT_EQ(Run("set from Shop").status, 0);
  ASSERT_EQ(Run("set password n3w-secret").status, 0);
  Outcome shown = Run("show");
  ASSERT_EQ(shown.status, 0) << shown.output;
  EXPECT_NE(shown.output.find("ClickATell Gateway"), std::string::npos);
  EXPECT_NE(shown.output.find("[apiid]        key & more é\n"), std::string::npos) << shown.output;
  EXPECT_NE(shown.output.find("[from]         Shop\n"), std::string::npos) << shown.output;
  EXPECT_NE(shown.output.find("[user]         alice\n"), std::string::npos) << shown.output;
  EXPECT_NE(shown.output.find("[password]     ****\n"), std::string::npos) << shown.output;
  EXPECT_EQ(shown.output.find("n3w-secret"), std::string::npos);
  EXPECT_NE(folder.Read("qvsmscomms.xml").find("key &amp; more é"), std::string::npos);
}

// What the host settings keep of a SIM PIN: the driver deciphers it.
TEST_F(ServiceCommand, ConfigCipherPrintsAValueTheDriverReadsBack) {
  Outcome printed = RunShell(std::string(TALVENIX_BINARY_DIR) + "/bin/talvenix --dir " + folder.path().string() +
                             " config cipher 0042");
  ASSERT_EQ(printed.status, 0) << printed.output;
  std::string plain;
  ASSERT_TRUE(DecipherValue(printed.output.substr(0, printed.output.find('\n')), plain)) << printed.output;
  EXPECT_EQ(plain, "0042");
}

TEST_F(ServiceCommand, BadInputIsRefused) {
  std::string before = folder.Read("qvsmscomms.xml");
  EXPECT_EQ(Run("set colour red").status, 2);
  EXPECT_EQ(Run("set apiid " + std::string(1000, 'k')).status, 2);
  EXPECT_EQ(Run("set apiid").status, 2);
  EXPECT_EQ(folder.Read("qvsmscomms.xml"), before);
  folder.Write("qvsmscomms.xml", "<broken");
  EXPECT_EQ(Run("show").status, 1);
}

// Ports and intervals take only numbers their gateway can use: a wrong one is
// a usage error naming the range, and the file stays as it was.
TEST_F(ServiceCommand, NumbersAreCheckedAgainstTheirRange) {
  std::ifstream example(std::string(TALVENIX_SOURCE_DIR) + "/examples/qvsmscomms.xml", std::ios::binary);
  folder.Write("qvsmscomms.xml", std::string(std::istreambuf_iterator<char>(example), {}));
  struct Case {
    const char* transport;
    const char* property;
    std::vector<const char*> refused;
    const char* accepted;
  };
  for (const Case& c : {Case{"multitechisms", "port", {"abc", "99999", "-1", "0", "80x"}, "8080"},
                        Case{"gensmtp", "smtpport", {"70000", ""}, "587"},
                        Case{"messagemediaservice", "receivepollinterval", {"abc", "0"}, " 5 "}}) {
    ASSERT_EQ(RunShell(std::string(TALVENIX_BINARY_DIR) + "/bin/talvenix --dir " + folder.path().string() +
                       " config set selectedservice " + c.transport)
                  .status,
              0);
    std::string before = folder.Read("qvsmscomms.xml");
    for (const char* value : c.refused) {
      Outcome refused = Run(std::string("set ") + c.property + " '" + value + "'");
      EXPECT_EQ(refused.status, 2) << c.property << " " << value;
      EXPECT_NE(refused.output.find("takes a whole number from 1 to"), std::string::npos) << refused.output;
    }
    EXPECT_EQ(folder.Read("qvsmscomms.xml"), before);
    EXPECT_EQ(Run(std::string("set ") + c.property + " '" + c.accepted + "'").status, 0) << c.property;
  }
}

TEST_F(ServiceCommand, AFolderWithoutTheDocumentIsToldSo) {
  std::filesystem::remove(folder.path() / "qvsmscomms.xml");
  Outcome shown = Run("show");
  EXPECT_EQ(shown.status, 1);
  EXPECT_NE(shown.output.find("there is no qvsmscomms.xml in this folder"), std::string::npos) << shown.output;
}

}  // namespace
}  // namespace talvenix::testing
