// SPDX-License-Identifier: Apache-2.0
// XMLLoader when the disk refuses the save (POSIX: the failure is injected
// into write).

#include "common/system_call_faults.hpp"
#include "contract/service.hpp"
#include "engine/generic_options.hpp"
#include "loader_fixture.hpp"

namespace talvenix {
namespace {

using testing::Document;
using testing::LoaderTest;
using testing::Option;

TEST_F(LoaderTest, AFailedSaveReportsFailureAndKeepsTheFile) {
  Use(Document(Option("enableengine", "yes") + Option("maxsmssplit", "3"), "", ""));
  testing::FailNthCall<&platform::SystemCalls::write> disk_full(1, ENOSPC);
  TalvexGenericOptions o{};
  int result = UpdateGenericXMLConfigs(loader_.get(), &o, TALVEX_OPT_MAXSMSSPLIT);
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(log_.Has(Severity::Error, "XMLLoader::UpdateGlobalConfigs - Saveconfiguration Failed."));
  EXPECT_TRUE(FileUnchanged());
}

}  // namespace
}  // namespace talvenix
