// The fault seam of the POSIX file functions (test builds only; see platform/file_faults.h).

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/file_faults.h"
#include "platform/file_system.h"
#include "platform/text.h"

namespace platform {

namespace {

std::uint64_t changes_seen = 0;
void (*change_hook)() = nullptr;

// Appends one line to the trace with plain system calls, which the seam does not count.
void trace(const std::string& line) {
  const char* file = std::getenv("CORVALIS_FAULT_TRACE");
  if (!file || !*file) return;
  const int fd = ::open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return;
  const ssize_t ignored = ::write(fd, line.data(), line.size());
  static_cast<void>(ignored);
  ::close(fd);
}

bool permitted(FileChange change, const std::string& what) {
  const int saved = errno;
  ++changes_seen;
  trace(std::to_string(changes_seen) + " " + file_change_name(change) + " " + what + "\n");
  const char* at = std::getenv("CORVALIS_FAULT_AT");
  if (!at || std::strtoull(at, nullptr, 10) != changes_seen) {
    errno = saved;
    return true;
  }
  const char* mode = std::getenv("CORVALIS_FAULT_MODE");
  if (mode && std::strcmp(mode, "end") == 0) ::_exit(86);
  if (mode && std::strcmp(mode, "hook") == 0) {
    if (change_hook) change_hook();
    errno = saved;
    return true;
  }
  errno = ENOSPC;  // not a hold that passes: the caller gives up at once
  return false;
}

}  // namespace

bool file_change_permitted(FileChange change, const std::u16string& path) {
  return permitted(change, utf16_to_utf8(path));
}

bool file_change_permitted(FileChange change, const std::u16string& from,
                           const std::u16string& to) {
  return permitted(change, utf16_to_utf8(from) + " -> " + utf16_to_utf8(to));
}

namespace {

std::string path_of(std::intptr_t handle) {
  char path[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(handle);
  const ssize_t length = ::readlink(link.c_str(), path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : "";
}

}  // namespace

bool file_change_permitted(FileChange change, std::intptr_t handle) {
  return permitted(change, path_of(handle));
}

bool file_change_permitted(FileChange change, std::intptr_t folder, const std::u16string& name) {
  return permitted(change, path_of(folder) + "/" + utf16_to_utf8(name));
}

void restart_file_change_count_for_testing() {
  changes_seen = 0;
}

void set_file_change_hook_for_testing(void (*hook)()) {
  change_hook = hook;
}

}  // namespace platform
