#pragma once
// Plain files by descriptor, for writers that must publish a file whole: make
// it under a unique or temporary name, write it completely, sync it, then
// rename it to the name readers look for. Results are 0 or an errno value.

#include <cstddef>
#include <string>

namespace talvenix::platform {

class File {
 public:
  File() = default;
  ~File() { Close(); }
  File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // A new file for writing, mode 0644 before the umask; EEXIST when the name
  // is taken.
  int CreateNew(const std::string& path);
  // A new file with a name made of `prefix`, unique characters and `suffix`
  // in `folder` (which must end with '/'); the name goes to `path`.
  int CreateUnique(const std::string& folder, const std::string& prefix, const std::string& suffix, std::string& path);
  int OpenForReading(const std::string& path);

  // Writes every byte (short writes are continued).
  int WriteAll(const void* data, size_t size);
  // Reads to the end; EFBIG when the file holds more than `limit` bytes.
  int ReadAll(std::string& bytes, size_t limit);
  // Flushes the contents to the storage device.
  int Sync();
  // Closes; the result tells whether the last writes reached the file.
  int Close();

  int fd() const { return fd_; }
  bool IsOpen() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Writes every byte to a descriptor the caller keeps (short writes are
// continued).
int WriteAll(int fd, const void* data, size_t size);

// Renames within one file system; replaces an existing `to`.
int RenameFile(const std::string& from, const std::string& to);
int RemoveFile(const std::string& path);

}  // namespace talvenix::platform
