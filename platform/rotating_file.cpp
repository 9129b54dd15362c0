#include "platform/rotating_file.hpp"

// What rotation is on every platform; opening and appending are in the
// platform's own file.

namespace talvenix::platform {

std::string RotatingFile::RotatedName(const std::string& path, size_t index) {
  if (index == 0) return path;
  size_t dot = path.rfind('.');
  size_t slash = path.find_last_of("/\\");
  if (dot == std::string::npos || dot == 0 || dot == path.size() - 1 ||
      (slash != std::string::npos && slash + 1 >= dot))
    return path + "." + std::to_string(index);
  return path.substr(0, dot) + "." + std::to_string(index) + path.substr(dot);
}

Error RotatingFile::Open(const std::string& path, uint64_t size_limit, size_t rotated_files) {
  Close();
  path_ = path;
  size_limit_ = size_limit;
  rotated_files_ = rotated_files;
  return Reopen();
}

}  // namespace talvenix::platform
