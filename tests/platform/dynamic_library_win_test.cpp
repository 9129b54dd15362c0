// SPDX-License-Identifier: Apache-2.0
// Loading a library, finding its exports and the folder a module lives in.

#include <gtest/gtest.h>
#include <windows.h>

#include "common/temp_folder.hpp"
#include "platform/dynamic_library.hpp"
#include "platform/wide_text_win.hpp"

namespace talvenix::platform {
namespace {

TEST(DynamicLibraryOnWindows, MissingFilesAndFilesThatAreNoLibraryAreToldApart) {
  talvenix::testing::TempFolder temp("library");
  DynamicLibrary library;
  EXPECT_FALSE(library.Open(temp.File("qvGSMcomdrv.Qvd")));
  EXPECT_EQ(library.LastErrorKind(), ErrorKind::kNotFound);
  EXPECT_NE(library.LastError().find("qvGSMcomdrv.Qvd"), std::string::npos) << library.LastError();

  EXPECT_FALSE(library.Open(temp.Write("not-a-library.Qvd", std::string(4096, 'x'))));
  EXPECT_EQ(library.LastErrorKind(), ErrorKind::kNotLoadable) << library.LastErrorCode();

  ASSERT_TRUE(library.Open("kernel32.dll"));  // through the loader's search path
  EXPECT_TRUE(library.Symbol("GetTickCount"));
  EXPECT_FALSE(library.Symbol("NoSuchExport"));
  EXPECT_EQ(library.LastErrorKind(), ErrorKind::kNotFound);
}

TEST(DynamicLibraryOnWindows, TheFolderOfTheModuleHoldingAnAddress) {
  wchar_t self[MAX_PATH];
  std::string exe = Utf8(std::wstring_view(self, GetModuleFileNameW(nullptr, self, MAX_PATH)));
  std::string folder = DynamicLibrary::FolderOf(reinterpret_cast<const void*>(&DynamicLibrary::FolderOf));
  EXPECT_EQ(folder, exe.substr(0, exe.find_last_of('\\')));
  EXPECT_TRUE(DynamicLibrary::FileExists(exe));
  EXPECT_FALSE(DynamicLibrary::FileExists(folder));  // a folder is no library file
}

}  // namespace
}  // namespace talvenix::platform
