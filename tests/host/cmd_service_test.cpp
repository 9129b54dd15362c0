// `talvenix service` as a person uses it, on a document selecting Clickatell.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "common/temp_folder.hpp"
#include "gateways/internet/clickatell_document.hpp"
#include "host/run_program.hpp"

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

TEST_F(ServiceCommand, BadInputIsRefused) {
  std::string before = folder.Read("qvsmscomms.xml");
  EXPECT_EQ(Run("set colour red").status, 2);
  EXPECT_EQ(Run("set apiid " + std::string(1000, 'k')).status, 2);
  EXPECT_EQ(Run("set apiid").status, 2);
  EXPECT_EQ(folder.Read("qvsmscomms.xml"), before);
  folder.Write("qvsmscomms.xml", "<broken");
  EXPECT_EQ(Run("show").status, 1);
}

}  // namespace
}  // namespace talvenix::testing
