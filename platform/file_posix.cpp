// SPDX-License-Identifier: Apache-2.0
#include "platform/file.hpp"

#include <dirent.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <random>
#include <thread>
#include <utility>

#include "platform/system_calls.hpp"

namespace talvenix::platform {
namespace {

SystemCalls& sys = g_system_calls;

// Six characters for a unique name; never the same twice in one process.
std::string UniqueCharacters() {
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::atomic<uint64_t> counter{std::random_device{}()};
  uint64_t n = counter.fetch_add(0x9E3779B97F4A7C15ull) ^ (static_cast<uint64_t>(getpid()) << 20);
  std::string out(6, 'a');
  for (char& c : out) {
    c = kAlphabet[n % (sizeof kAlphabet - 1)];
    n /= sizeof kAlphabet - 1;
  }
  return out;
}

// Creates `folder + prefix + six characters + suffix` exclusively.
Error OpenUnique(const std::string& folder, const std::string& prefix, const std::string& suffix, mode_t mode,
                 std::string& path, int& fd) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    path = folder + prefix + UniqueCharacters() + suffix;
    fd = sys.open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) return kNoError;
    if (errno != EEXIST) return LastSystemError();
  }
  return ErrorFromSystem(EEXIST);
}

}  // namespace

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

Error File::CreateNew(const std::string& path) {
  if (fd_ >= 0) return ErrorFromSystem(EEXIST);
  int fd = sys.open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return LastSystemError();
  fd_ = fd;
  return kNoError;
}

Error File::CreateUnique(const std::string& folder, const std::string& prefix, const std::string& suffix,
                         std::string& path) {
  if (fd_ >= 0) return ErrorFromSystem(EEXIST);
  int fd = -1;
  if (Error error = OpenUnique(folder, prefix, suffix, 0644, path, fd)) return error;
  fd_ = fd;
  return kNoError;
}

Error File::OpenForReading(const std::string& path) {
  if (fd_ >= 0) return ErrorFromSystem(EEXIST);
  int fd = sys.open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return LastSystemError();
  fd_ = fd;
  return kNoError;
}

Error File::WriteAll(const void* data, size_t size) { return platform::WriteAll(fd_, data, size); }

Error WriteAll(int fd, const void* data, size_t size) {
  if (fd < 0) return ErrorFromSystem(EBADF);
  auto* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = sys.write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastSystemError();
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return kNoError;
}

Error File::Read(void* buffer, size_t size, size_t& done) {
  done = 0;
  if (fd_ < 0) return ErrorFromSystem(EBADF);
  auto* p = static_cast<char*>(buffer);
  while (done < size) {
    ssize_t n = sys.read(fd_, p + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastSystemError();
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return kNoError;
}

Error File::ReadAll(std::string& bytes, size_t limit) {
  if (fd_ < 0) return ErrorFromSystem(EBADF);
  bytes.clear();
  char buffer[8192];
  for (;;) {
    size_t n = 0;
    if (Error error = Read(buffer, sizeof buffer, n)) return error;
    if (bytes.size() + n > limit) return ErrorFromSystem(EFBIG);
    bytes.append(buffer, n);
    if (n < sizeof buffer) return kNoError;
  }
}

Error File::GetInfo(FileInfo& info) {
  struct stat st {};
  if (fstat(fd_, &st) != 0) return LastSystemError();
  info.size = static_cast<uint64_t>(st.st_size);
  info.regular = S_ISREG(st.st_mode);
  info.modified_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return kNoError;
}

Error File::Sync() {
  if (fd_ < 0) return ErrorFromSystem(EBADF);
  return sys.fsync(fd_) == 0 ? kNoError : LastSystemError();
}

Error File::Close() {
  if (fd_ < 0) return kNoError;
  int result = close(std::exchange(fd_, -1)) == 0 ? 0 : errno;
  return ErrorFromSystem(result == EINTR ? 0 : result);  // the descriptor is gone either way
}

Error RenameFile(const std::string& from, const std::string& to) {
  return sys.rename(from.c_str(), to.c_str()) == 0 ? kNoError : LastSystemError();
}

Error RemoveFile(const std::string& path) { return sys.unlink(path.c_str()) == 0 ? kNoError : LastSystemError(); }

int RemoveStaleFiles(const std::string& folder, std::string_view prefix, std::string_view suffix,
                     std::chrono::seconds older_than) {
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return 0;
  int removed = 0;
  time_t limit = time(nullptr) - static_cast<time_t>(older_than.count());
  while (dirent* entry = readdir(dir)) {
    std::string_view name(entry->d_name);
    if (name.size() < prefix.size() + suffix.size() || name.substr(0, prefix.size()) != prefix ||
        name.substr(name.size() - suffix.size()) != suffix)
      continue;
    std::string path = folder + std::string(name);
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_mtime > limit) continue;
    if (sys.unlink(path.c_str()) == 0) ++removed;
  }
  closedir(dir);
  return removed;
}

// ---- Replacing a file whole -------------------------------------------------

namespace {

constexpr std::chrono::seconds kStaleAfter{60};

// A save through a symbolic link replaces the file it points to, not the link.
std::string SaveTarget(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* real = realpath(path.c_str(), nullptr)) {
      std::string target(real);
      std::free(real);
      return target;
    }
  }
  return path;
}

// Gives the new file the old one's owner and group. When that is not
// permitted, the save goes on only if the old owner can still read it.
Error KeepOwner(int fd, const struct stat& old) {
  if (sys.fchown(fd, old.st_uid, old.st_gid) == 0) return kNoError;
  Error error = LastSystemError();
  if (error.kind() != ErrorKind::kAccessDenied) return error;
  sys.fchown(fd, static_cast<uid_t>(-1), old.st_gid);  // the group alone may be ours to give
  struct stat now {};
  if (fstat(fd, &now) != 0) return LastSystemError();
  mode_t mode = old.st_mode;
  bool readable = now.st_uid == old.st_uid || (mode & S_IROTH) || ((mode & S_IRGRP) && now.st_gid == old.st_gid);
  return readable ? kNoError : error;
}

// The temporary file: unnamed (O_TMPFILE) where the file system allows it,
// so a killed save leaves nothing; else a hidden name of our own pattern.
struct Temporary {
  int fd = -1;
  std::string named;  // empty while unnamed
  ~Temporary() { Discard(); }
  void Discard() {
    if (fd >= 0) close(std::exchange(fd, -1));
    if (!named.empty()) sys.unlink(named.c_str());
    named.clear();
  }
};

Error CreateTemporary(const std::string& folder, const std::string& prefix, bool unnamed, Temporary& temporary) {
  if (unnamed) {
    temporary.fd = sys.open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (temporary.fd >= 0) return kNoError;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return LastSystemError();
  }
  return OpenUnique(folder, prefix, "", 0600, temporary.named, temporary.fd);
}

// Gives an unnamed temporary a name of our pattern so that rename can put it
// in place (linkat cannot replace a file).
Error NameTemporary(const std::string& folder, const std::string& prefix, Temporary& temporary) {
  if (!temporary.named.empty()) return kNoError;
  std::string self = "/proc/self/fd/" + std::to_string(temporary.fd);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = folder + prefix + UniqueCharacters();
    if (sys.linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      temporary.named = path;
      return kNoError;
    }
    if (errno != EEXIST) return LastSystemError();
  }
  return ErrorFromSystem(EEXIST);
}

}  // namespace

Error ReplaceFileContents(const std::string& path, std::string_view bytes, std::string* failed_step) {
  std::string ignored;
  std::string& step = failed_step ? *failed_step : ignored;
  std::string target = SaveTarget(path);
  size_t slash = target.rfind('/');
  std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  // Hidden, so nobody takes it for the file; our own pattern, so a later save
  // can tell what a killed one left.
  std::string prefix = "." + target.substr(folder.size()) + ".saving-";
  RemoveStaleFiles(folder, prefix, "", kStaleAfter);

  struct stat old {};
  bool exists = stat(target.c_str(), &old) == 0;
  Temporary temporary;
  for (bool unnamed : {true, false}) {
    temporary.Discard();
    step = "cannot create a file beside " + target;
    if (Error error = CreateTemporary(folder, prefix, unnamed, temporary)) return error;
    if (exists) {
      step = "cannot give the new " + target + " to its owner (uid " + std::to_string(old.st_uid) +
             "), who could then no longer read it";
      if (Error error = KeepOwner(temporary.fd, old)) return error;
    }
    step = "cannot write " + target;
    mode_t mode = exists ? (old.st_mode & 07777) : 0644;
    if (sys.fchmod(temporary.fd, mode) != 0) return LastSystemError();
    if (Error error = WriteAll(temporary.fd, bytes.data(), bytes.size())) return error;
    if (sys.fsync(temporary.fd) != 0) return LastSystemError();
    // Without /proc an unnamed file cannot be named: write a named one instead
    // (a named temporary needs no naming, so the second round always leaves).
    if (!NameTemporary(folder, prefix, temporary)) break;
  }
  step = "cannot replace " + target;
  if (sys.rename(temporary.named.c_str(), target.c_str()) != 0) return LastSystemError();
  step.clear();
  temporary.named.clear();  // it is the file now
  // The rename itself reaches the disk with the folder's entry.
  int dir = sys.open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return kNoError;
}

// ---- Locking ----------------------------------------------------------------

namespace {

// The lock is ours only while `path` still names the file we locked: the
// holder before us may have removed it in between.
bool StillNamed(int fd, const std::string& path) {
  struct stat held {
  }, named{};
  return fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
         held.st_ino == named.st_ino;
}

}  // namespace

Error FileLock::Acquire(const std::string& lock_path, std::chrono::milliseconds limit) {
  Release();
  auto deadline = std::chrono::steady_clock::now() + limit;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    int fd = sys.open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return LastSystemError();
    bool locked = false;
    int code = 0;
    for (;;) {
      if (sys.flock(fd, LOCK_EX | LOCK_NB) == 0) {
        locked = true;
        break;
      }
      code = errno;
      if (code == EINTR) continue;
      if (code != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
    if (locked && StillNamed(fd, lock_path)) {
      fd_ = fd;
      path_ = lock_path;
      return kNoError;
    }
    close(fd);
    if (!locked) return code == EWOULDBLOCK ? Error(ErrorKind::kTimedOut) : ErrorFromSystem(code);
    if (std::chrono::steady_clock::now() >= deadline) return Error(ErrorKind::kTimedOut);
  }
}

void FileLock::Release() {
  if (fd_ < 0) return;
  // Removed while still locked, so nobody can lock this file and think it current.
  sys.unlink(path_.c_str());
  close(std::exchange(fd_, -1));
  path_.clear();
}

std::string LockPathFor(const std::string& path) { return SaveTarget(path) + ".lock"; }

}  // namespace talvenix::platform
