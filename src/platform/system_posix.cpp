// POSIX stand-ins for text conversion, the process, the environment and the clock.
// Only POSIX and C library headers belong here; the logic never sees them.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/process.h"
#include "platform/text.h"
#include "platform/users.h"

namespace platform {

const char16_t path_separator = u'/';
const std::u16string_view program_suffix = u"";
const std::u16string_view default_program_files_folder = u"/opt";

namespace {

constexpr char16_t replacement_character = 0xFFFD;

struct FolderCloser {
  void operator()(DIR* folder) const { ::closedir(folder); }
};

// The first field of /proc/<pid>/cmdline: the program as the process was started. Empty for a
// kernel thread, and for a process that exits meanwhile: its entry then refuses reads (ESRCH),
// which a standard stream would raise as an exception in the middle of the walk.
std::string program_started_as(const char* pid) {
  const int file = ::open((std::string("/proc/") + pid + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) return {};
  std::string arguments;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(file, buffer, sizeof buffer);
    if (got < 0) arguments.clear();
    if (got <= 0) break;
    arguments.append(buffer, static_cast<std::size_t>(got));
    if (arguments.find('\0') != std::string::npos) break;
  }
  ::close(file);
  return arguments.substr(0, arguments.find('\0'));
}

std::vector<std::u16string> remembered_arguments;
PauseObserver pause_observer = nullptr;
// What tests made the stand-in answer for the session's user, if anything.
bool session_user_given = false;
SessionUser session_user_for_testing;
bool user_folder_values_given = false;
UserFolderValues user_folder_values_for_testing;
bool signed_in_users_given = false;
SignedInUsers signed_in_users_for_testing;

// The stand-in's session of a user: its user id plus one, so that no user's is the services'.
std::uint32_t stand_in_session(uid_t user) {
  return static_cast<std::uint32_t>(user) + 1;
}

}  // namespace

// Decodes with one U+FFFD per maximal ill-formed subpart, as Unicode recommends and as
// Windows' MultiByteToWideChar does.
std::u16string utf8_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  const std::size_t n = text.size();
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  while (i < n) {
    const unsigned char b = byte(i);
    if (b < 0x80) {
      out += static_cast<char16_t>(b);
      ++i;
      continue;
    }
    int length = 0;
    char32_t code = 0;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      length = 2;
      code = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      length = 3;
      code = b & 0x0F;
      if (b == 0xE0) low = 0xA0;
      if (b == 0xED) high = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      length = 4;
      code = b & 0x07;
      if (b == 0xF0) low = 0x90;
      if (b == 0xF4) high = 0x8F;
    } else {
      out += replacement_character;
      ++i;
      continue;
    }
    std::size_t k = i + 1;
    bool complete = true;
    for (int taken = 1; taken < length; ++taken, ++k) {
      const unsigned char lo = taken == 1 ? low : 0x80;
      const unsigned char hi = taken == 1 ? high : 0xBF;
      if (k >= n || byte(k) < lo || byte(k) > hi) {
        complete = false;
        break;
      }
      code = (code << 6) | (byte(k) & 0x3F);
    }
    if (!complete) {
      out += replacement_character;
      i = k;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (code >> 10));
      out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
      out += static_cast<char16_t>(code);
    }
    i = k;
  }
  return out;
}

std::string utf16_to_utf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      append_utf8(out, 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      append_utf8(out, replacement_character);
    } else {
      append_utf8(out, unit);
    }
  }
  return out;
}

std::vector<std::u16string> command_line_arguments() {
  return remembered_arguments;
}

void remember_arguments(int argc, char** argv) {
  remembered_arguments.clear();
  for (int i = 0; i < argc; ++i) remembered_arguments.push_back(utf8_to_utf16(argv[i]));
}

std::u16string program_path() {
  // readlink neither terminates nor says whether it cut: a link that fills the buffer is tried
  // again with a larger one.
  std::string path(256, '\0');
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0) return {};
    if (static_cast<std::size_t>(length) < path.size()) {
      path.resize(static_cast<std::size_t>(length));
      return utf8_to_utf16(path);
    }
    path.resize(path.size() * 2);
  }
}

std::u16string environment_variable(std::u16string_view name) {
  const char* value = std::getenv(utf16_to_utf8(name).c_str());
  return value ? utf8_to_utf16(value) : std::u16string();
}

void set_environment_variable_for_testing(std::u16string_view name, std::u16string_view value,
                                          bool unset) {
  const std::string key = utf16_to_utf8(name);
  if (unset) {
    ::unsetenv(key.c_str());
  } else {
    ::setenv(key.c_str(), utf16_to_utf8(value).c_str(), 1);
  }
}

std::u16string temp_folder() {
  std::u16string folder = environment_variable(u"TMPDIR");
  return folder.empty() ? u"/tmp" : folder;
}

std::u16string known_folder(const KnownFolderId& id) {
  if (std::memcmp(&id, &roaming_app_data_folder, sizeof id) != 0) return {};
  for (const char16_t* name : {u"APPDATA", u"XDG_CONFIG_HOME"}) {
    std::u16string folder = environment_variable(name);
    if (!folder.empty()) return folder;
  }
  std::u16string home = environment_variable(u"HOME");
  return home.empty() ? std::u16string() : home + u"/.config";
}

CallOutcome this_process_session(std::uint32_t& session) {
  if (session_user_given) {
    if (session_user_for_testing.process_session.succeeded) {
      session = session_user_for_testing.session_id;
    }
    return session_user_for_testing.process_session;
  }
  session = stand_in_session(::getuid());
  return {"getuid", "this process", true, 0};
}

SessionUser session_user() {
  if (session_user_given) return session_user_for_testing;
  // One user per session: this process's, its user id standing for a SID.
  SessionUser user;
  user.process_session = this_process_session(user.session_id);
  user.own_sid = utf8_to_utf16(std::to_string(::getuid()));
  user.own = {"getuid", "this process", true, 0};
  user.session = {"getuid", "this session", true, 0};
  user.name = user.sid = user.own_sid;
  user.lookup = user.own;
  return user;
}

UserFolderValues user_folder_values(const std::u16string& sid) {
  if (user_folder_values_given) return user_folder_values_for_testing;
  const std::string user = utf16_to_utf8(sid);
  return {{"registry", user + " ProfileImagePath", false, ENOSYS},
          {},
          {"registry", user + " AppData", false, ENOSYS},
          {},
          {"registry", user + " TEMP", false, ENOSYS},
          {}};
}

SignedInUsers signed_in_users() {
  if (signed_in_users_given) return signed_in_users_for_testing;
  SignedInUsers users;
  users.console_session = stand_in_session(::getuid());
  users.console = {"getuid", "the console's user", true, 0};
  users.console_sid = utf8_to_utf16(std::to_string(::getuid()));
  return users;
}

CallOutcome active_session_ids(std::vector<std::uint32_t>& sessions) {
  if (signed_in_users_given) {
    sessions = signed_in_users_for_testing.active_sessions;
    return signed_in_users_for_testing.enumeration;
  }
  sessions = {stand_in_session(::getuid())};
  return {"getuid", "this computer", true, 0};
}

void set_session_user_for_testing(const SessionUser* session, const UserFolderValues* folders,
                                  const SignedInUsers* signed_in) {
  session_user_given = session != nullptr;
  session_user_for_testing = session ? *session : SessionUser{};
  user_folder_values_given = folders != nullptr;
  user_folder_values_for_testing = folders ? *folders : UserFolderValues{};
  signed_in_users_given = signed_in != nullptr;
  signed_in_users_for_testing = signed_in ? *signed_in : SignedInUsers{};
}

std::uint32_t current_process_id() {
  return static_cast<std::uint32_t>(::getpid());
}

bool process_is_running(std::uint32_t id) {
  // 0 and negative ids would signal whole process groups.
  if (id == 0 || id > static_cast<std::uint32_t>(INT_MAX)) return true;
  return ::kill(static_cast<pid_t>(id), 0) == 0 || errno != ESRCH;
}

std::uint64_t tick_count() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

void pause(std::uint32_t milliseconds) {
  if (pause_observer) {
    pause_observer(milliseconds);
    return;
  }
  timespec wait{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (::nanosleep(&wait, &wait) != 0) {
  }
}

void observe_pauses_for_testing(PauseObserver observer) {
  pause_observer = observer;
}

LocalTime local_time() {
  const time_t now = ::time(nullptr);
  tm parts{};
  ::localtime_r(&now, &parts);
  return {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
          parts.tm_hour,        parts.tm_min,     parts.tm_sec};
}

bool running_process_names(std::vector<std::u16string>& names, std::uint32_t session) {
  const std::unique_ptr<DIR, FolderCloser> proc(::opendir("/proc"));
  if (!proc) return false;
  names.clear();
  while (const dirent* entry = ::readdir(proc.get())) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    // Another user's programs stand for those of another session.
    struct stat owner;
    if (::fstatat(::dirfd(proc.get()), entry->d_name, &owner, 0) != 0 ||
        stand_in_session(owner.st_uid) != session) {
      continue;
    }
    const std::string program = program_started_as(entry->d_name);
    if (program.empty()) continue;  // kernel threads and vanished processes
    const std::size_t slash = program.find_last_of("/\\");
    names.push_back(
        utf8_to_utf16(slash == std::string::npos ? program : program.substr(slash + 1)));
  }
  return true;
}

MachineLock::~MachineLock() {
  release();
}

MachineLock::Result MachineLock::take(std::u16string_view name, const std::u16string& folder) {
  release();
  const std::string path = utf16_to_utf8(folder) + "/" + utf16_to_utf8(name) + ".lock";
  for (;;) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return Result::failed;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(fd);
      errno = error;
      return error == EWOULDBLOCK ? Result::held_elsewhere : Result::failed;
    }
    // The holder before removed the file as it let go: a lock on a file no longer at the path
    // keeps nobody out, so the file at the path is locked anew.
    struct stat locked, named;
    if (::fstat(fd, &locked) == 0 && ::lstat(path.c_str(), &named) == 0 &&
        locked.st_dev == named.st_dev && locked.st_ino == named.st_ino) {
      handle_ = fd;
      path_ = utf8_to_utf16(path);
      return Result::taken;
    }
    ::close(fd);
  }
}

void MachineLock::release() {
  if (handle_ < 0) return;
  // Removed while still locked, so that no run leaves the file behind; one that opened it
  // meanwhile finds it gone once it has the lock, and locks a new one.
  ::unlink(utf16_to_utf8(path_).c_str());
  ::close(static_cast<int>(handle_));
  handle_ = -1;
  path_.clear();
}

}  // namespace platform
