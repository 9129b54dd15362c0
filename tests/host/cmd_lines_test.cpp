// SPDX-License-Identifier: Apache-2.0
// `talvenix lines` as a person uses it: the program run in a folder holding
// qvsmscomms.xml, its output, its exit status and what the document holds.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "common/temp_folder.hpp"
#include "gateways/modem/gsm_document.hpp"
#include "host/run_program.hpp"

namespace talvenix::testing {
namespace {

class LinesCommand : public ::testing::Test {
 protected:
  LinesCommand() { folder.Write("qvsmscomms.xml", GsmDocument({{3, 9600, "North"}})); }

  Outcome Run(const std::string& arguments) {
    std::string command =
        std::string(TALVENIX_BINARY_DIR) + "/bin/talvenix --dir " + folder.path().string() + " lines " + arguments;
    return RunShell(command);
  }
  std::vector<std::map<std::string, std::string>> Lines() {
    return DocumentLines((folder.path() / "qvsmscomms.xml").string());
  }

  TempFolder folder{"lines-command"};
};

TEST_F(LinesCommand, AddSetListAndDeleteALine) {
  auto original = Lines();
  Outcome added = Run("add --port 7 --name \"Spare modem\" --baud 115200 --disabled --retry 5");
  ASSERT_EQ(added.status, 0) << added.output;
  ASSERT_EQ(Lines().size(), 2u);
  EXPECT_EQ(Lines()[1]["[linename]"], "Spare modem");
  EXPECT_EQ(Lines()[1]["[lineenabled]"], "0");
  EXPECT_EQ(Lines()[1]["[smsretry]"], "5");

  ASSERT_EQ(Run("set --port 7 lineenabled yes").status, 0);
  ASSERT_EQ(Run("set --port 7 [comport] 8").status, 0);
  EXPECT_EQ(Lines()[1]["[lineenabled]"], "1");
  EXPECT_EQ(Lines()[1]["[comport]"], "8");
  EXPECT_EQ(Lines()[0], original[0]);

  Outcome listed = Run("list");
  ASSERT_EQ(listed.status, 0);
  EXPECT_NE(listed.output.find("North"), std::string::npos);
  EXPECT_NE(listed.output.find("Spare modem"), std::string::npos);
  EXPECT_NE(listed.output.find("115200"), std::string::npos);

  ASSERT_EQ(Run("delete --port 8").status, 0);
  EXPECT_EQ(Lines(), original);
}

TEST_F(LinesCommand, BadInputIsRefusedAndTheDocumentStaysAsItWas) {
  auto before = Lines();
  EXPECT_EQ(Run("add --port 3").status, 1);  // the port has a line already
  EXPECT_EQ(Run("add --port x7").status, 2);
  EXPECT_EQ(Run("add --port 7 --baud -1").status, 2);
  EXPECT_EQ(Run("add --port 7 --colour red").status, 2);
  EXPECT_EQ(Run("add").status, 2);
  EXPECT_EQ(Run("set --port 3 baudrate fast").status, 2);
  EXPECT_EQ(Run("set --port 3 readiomode SOMETIMES").status, 2);
  EXPECT_EQ(Run("set --port 3 linename " + std::string(600, 'n')).status, 2);
  Outcome unknown = Run("set --port 3 colour red");
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.output.find("linename"), std::string::npos);  // lists the fields
  EXPECT_EQ(Run("set --port 9 baudrate 4800").status, 1);         // no such line
  EXPECT_EQ(Run("delete --port 9").status, 1);
  EXPECT_EQ(Run("rename --port 3").status, 2);
  EXPECT_EQ(Lines(), before);

  std::filesystem::remove(folder.path() / "qvsmscomms.xml");
  Outcome missing = Run("list");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.output.find("no qvsmscomms.xml"), std::string::npos);
}

}  // namespace
}  // namespace talvenix::testing
