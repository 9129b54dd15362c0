// SPDX-License-Identifier: Apache-2.0
#include "support/log_backend.hpp"

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/rotating_file.hpp"
#include "support/printf_format.hpp"

namespace talvenix::logbackend {
namespace {

constexpr size_t kRotatedFiles = 3;

// spdlog formats; the platform's rotating file appends and rotates, safely
// across the processes that share the file.
class SharedRotatingSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  // Why the file could not be opened, if it could not.
  platform::Error Open(const std::string& path, uint64_t size_limit) {
    return file_.Open(path, size_limit, kRotatedFiles);
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    spdlog::memory_buf_t line;
    formatter_->format(message, line);
    file_.Append(std::string_view(line.data(), line.size()));
  }
  void flush_() override {}  // every line is written as it comes

 private:
  platform::RotatingFile file_;
};

// Said once per file and process: a log that cannot be created is otherwise silent.
void ReportUnopenable(const char* file_name, platform::Error error) {
  static std::set<std::string> reported;  // under the registry's lock
  if (!reported.insert(file_name).second) return;
  std::fprintf(stderr, "Talvenix: cannot create the log file %s: %s; nothing will be logged.\n", file_name,
               error.Describe());
}

struct Entry {
  std::shared_ptr<spdlog::logger> logger;
  int level;
};

struct Registry {
  std::mutex mutex;
  uintptr_t next = 1;
  std::map<uintptr_t, Entry> entries;
  // Two handles on one file share its sink, so rotation stays consistent.
  std::map<std::string, std::weak_ptr<SharedRotatingSink>> sinks;
};

Registry& registry() {
  static Registry* r = new Registry;  // outlives every static destructor that may still log
  return *r;
}

std::shared_ptr<spdlog::logger> Find(uintptr_t handle, int detail_level) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.entries.find(handle);
  if (it == r.entries.end() || detail_level > it->second.level) return nullptr;
  return it->second.logger;
}

spdlog::level::level_enum LevelOf(int severity) {
  switch (severity) {
    case 0:
      return spdlog::level::err;
    case 1:
      return spdlog::level::warn;
    default:
      return spdlog::level::info;
  }
}

template <typename Char>
void WriteLine(uintptr_t handle, int severity, int detail_level, const Char* format, va_list args) {
  auto logger = Find(handle, detail_level);
  if (!logger) return;
  try {
    logger->log(LevelOf(severity), "{}", FormatPrintf(format, args));
  } catch (...) {
    // A log line must never fail the code that writes it.
  }
}

}  // namespace

uintptr_t Open(const char* source_tag, const char* file_name, int level, uint64_t size_limit) {
  if (!file_name || !*file_name) return 0;
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  try {
    auto& weak = r.sinks[file_name];
    auto sink = weak.lock();
    if (!sink) {
      sink = std::make_shared<SharedRotatingSink>();
      if (platform::Error error = sink->Open(file_name, size_limit)) {
        ReportUnopenable(file_name, error);
        return 0;
      }
      weak = sink;
    }
    auto logger = std::make_shared<spdlog::logger>(source_tag ? source_tag : "", sink);
    // timestamp, severity, source tag, thread id, message
    logger->set_pattern("%Y-%m-%d %H:%M:%S.%e %-7l [%n] [%t] %v");
    logger->set_level(spdlog::level::trace);
    logger->flush_on(spdlog::level::trace);
    uintptr_t handle = r.next++;
    r.entries[handle] = Entry{logger, level};
    return handle;
  } catch (...) {
    return 0;
  }
}

bool Records(uintptr_t handle, int detail_level) { return Find(handle, detail_level) != nullptr; }

void Write(uintptr_t handle, int severity, int detail_level, const char* format, va_list args) {
  WriteLine(handle, severity, detail_level, format, args);
}

void WriteW(uintptr_t handle, int severity, int detail_level, const char16_t* format, va_list args) {
  WriteLine(handle, severity, detail_level, format, args);
}

void Close(uintptr_t handle) {
  std::shared_ptr<spdlog::logger> logger;
  {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.entries.find(handle);
    if (it == r.entries.end()) return;
    logger = std::move(it->second.logger);
    r.entries.erase(it);
  }
  try {
    logger->flush();
  } catch (...) {
  }
}

}  // namespace talvenix::logbackend
