#pragma once
// A fresh folder that a test works in (the module reads qvsmscomms.xml and
// writes Talvenix.log in the working folder); removed afterwards.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace talvenix::testing {

class TempFolder {
 public:
  explicit TempFolder(const std::string& tag) {
    path_ = std::filesystem::temp_directory_path() / ("talvenix-" + tag + "-" + std::to_string(getpid()));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }
  void Write(const std::string& name, const std::string& text) const { std::ofstream(path_ / name) << text; }
  std::string Read(const std::string& name) const {
    std::ifstream in(path_ / name);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
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
