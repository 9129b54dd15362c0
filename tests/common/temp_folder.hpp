// SPDX-License-Identifier: Apache-2.0
#pragma once
// A fresh folder that a test works in (the module reads qvsmscomms.xml and
// writes Talvenix.log in the working folder); removed afterwards, also when a
// test left it without write permission.

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>

namespace talvenix::testing {

class TempFolder {
 public:
  // Made only if the name was free, and closed to others, like mkdtemp's.
  explicit TempFolder(const std::string& tag = "cfg") {
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string unique;
      for (int i = 0; i < 6; ++i) unique += kAlphabet[random() % (sizeof kAlphabet - 1)];
      std::filesystem::path path = std::filesystem::temp_directory_path() / ("talvenix-" + tag + "-" + unique);
      if (std::filesystem::create_directory(path)) {
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        path_ = path;
        return;
      }
    }
    throw std::runtime_error("cannot make a temporary folder");
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

  // Writes the bytes as they are; returns the file's path.
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::ofstream out(File(name), std::ios::binary | std::ios::trunc);
    out << bytes;
    return File(name);
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(File(name), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // Entries in the folder, hidden ones included (leftover temporary files).
  int CountEntries() const {
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(path_)) ++n;
    return n;
  }

 private:
  std::filesystem::path path_;
};

// Enters a folder for the lifetime of the object.
class WorkingFolder {
 public:
  explicit WorkingFolder(const std::filesystem::path& path) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~WorkingFolder() { std::filesystem::current_path(previous_); }

 private:
  std::filesystem::path previous_;
};

}  // namespace talvenix::testing
