// POSIX set-ups for the file tests.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "platform/text.h"
#include "support/file_setups.h"

namespace {

std::string native(const std::u16string& path) {
  return platform::utf16_to_utf8(path);
}

std::string error_text(const char* what) {
  return std::string(what) + " failed: " + std::strerror(errno);
}

}  // namespace

namespace {

// Copies /bin/sleep to `path` and runs it there for a minute; the process id, or -1 with `why`.
pid_t run_sleeper(const std::string& path, std::string& why) {
  const int from = ::open("/bin/sleep", O_RDONLY | O_CLOEXEC);
  const int to = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
  bool copied = from >= 0 && to >= 0;
  char buffer[65536];
  for (ssize_t got; copied && (got = ::read(from, buffer, sizeof buffer)) != 0;) {
    copied = got > 0 && ::write(to, buffer, static_cast<std::size_t>(got)) == got;
  }
  if (from >= 0) ::close(from);
  if (to >= 0) ::close(to);
  if (!copied || ::chmod(path.c_str(), 0755) != 0) {
    why = error_text("copying /bin/sleep");
    return -1;
  }
  char* arguments[] = {const_cast<char*>(path.c_str()), const_cast<char*>("60"), nullptr};
  pid_t process = -1;
  // posix_spawn returns once the program runs, so the file is busy from then on.
  const int error = ::posix_spawn(&process, path.c_str(), nullptr, nullptr, arguments, environ);
  if (error != 0) {
    why = std::string("posix_spawn failed: ") + std::strerror(error);
    return -1;
  }
  return process;
}

}  // namespace

HeldFile::HeldFile(const std::u16string& path, Hold hold) {
  if (hold == Hold::running_program) {
    const pid_t process = run_sleeper(native(path), why_);
    if (process < 0) return;
    handles_[1] = process;
    held_ = true;
    return;
  }
  if (hold == Hold::loaded_image) {
    why_ = "POSIX maps no program images that resist deletion; an open file never does.";
    return;
  }
  const int fd = ::open(native(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    why_ = error_text("open");
    return;
  }
  handles_[0] = fd;
  if (::flock(fd, (hold == Hold::exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    why_ = error_text("flock");
    release();
    return;
  }
  held_ = true;
}

HeldFile::~HeldFile() {
  release();
}

void HeldFile::release() {
  if (handles_[0] >= 0) ::close(static_cast<int>(handles_[0]));
  handles_[0] = -1;
  if (handles_[1] >= 0) {
    const pid_t process = static_cast<pid_t>(handles_[1]);
    ::kill(process, SIGKILL);
    ::waitpid(process, nullptr, 0);
  }
  handles_[1] = -1;
  held_ = false;
}

std::string make_file_link(const std::u16string& link, const std::u16string& target) {
  return ::symlink(native(target).c_str(), native(link).c_str()) == 0 ? "" : error_text("symlink");
}

FolderLink make_folder_link(const std::u16string& link, const std::u16string& target) {
  FolderLink made;
  made.why = make_file_link(link, target);
  made.made = made.why.empty();
  return made;
}

void remove_link(const std::u16string& link) {
  ::unlink(native(link).c_str());
}

bool make_read_only(const std::u16string& path) {
  struct stat info;
  const std::string name = native(path);
  if (::stat(name.c_str(), &info) != 0) return false;
  return ::chmod(name.c_str(), info.st_mode & 07555) == 0;
}

bool is_read_only(const std::u16string& path) {
  struct stat info;
  return ::lstat(native(path).c_str(), &info) == 0 && (info.st_mode & S_IWUSR) == 0;
}

std::string read_only_folders_are_enforced(const std::u16string& folder) {
  const std::string probe = native(folder) + "/probe";
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return "";
  ::close(fd);
  ::unlink(probe.c_str());
  return "this test runs as root, which permission bits do not stop";
}

bool make_file_of_size(const std::u16string& path, std::uint64_t bytes) {
  const int fd = ::open(native(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const bool sized = ::ftruncate(fd, static_cast<off_t>(bytes)) == 0;
  ::close(fd);
  return sized;
}

std::string copy_program_image(const std::u16string&) {
  return "POSIX programs are not Windows program images.";
}

FileSizeLimit::FileSizeLimit(std::uint64_t bytes) : bytes_(bytes) {
  rlimit current;
  if (::getrlimit(RLIMIT_FSIZE, &current) != 0) {
    why_ = error_text("getrlimit");
    return;
  }
  saved_[0] = current.rlim_cur;
  saved_[1] = current.rlim_max;
  // Without this, crossing the limit kills the process instead of failing the write.
  saved_handler_ = reinterpret_cast<void*>(std::signal(SIGXFSZ, SIG_IGN));
  rlimit limited = current;
  limited.rlim_cur = bytes;
  if (::setrlimit(RLIMIT_FSIZE, &limited) != 0) {
    why_ = error_text("setrlimit");
    std::signal(SIGXFSZ, reinterpret_cast<void (*)(int)>(saved_handler_));
    return;
  }
  active_ = true;
}

FileSizeLimit::~FileSizeLimit() {
  if (!active_) return;
  rlimit restored;
  restored.rlim_cur = saved_[0];
  restored.rlim_max = saved_[1];
  ::setrlimit(RLIMIT_FSIZE, &restored);
  std::signal(SIGXFSZ, reinterpret_cast<void (*)(int)>(saved_handler_));
}

std::string access_list(const std::u16string&) {
  return {};
}

std::string set_access_list(const std::u16string&, const std::string&) {
  return "POSIX keeps permission bits, no access lists that folders pass on";
}
