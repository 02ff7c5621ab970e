#pragma once

// The platform layer's process services: the program's start (its DLL search, its arguments),
// the environment, other processes, the clock and pauses, and the lock that lets one run at a
// time change the machine.
//
// Native paths are UTF-16 (`std::u16string`) on every platform, converted only where they meet
// the OS (see platform/text.h). Unless a function says otherwise, it never throws: failure is a
// `false` or an empty result.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Makes System32 the only folder DLLs are loaded from for the rest of the process, for the loads
// of Windows' own DLLs as much as for ours: never the program's folder, which is usually
// Downloads, where anyone may have left a DLL named like a system one that would then run with
// the administrator's rights (SetDefaultDllDirectories with LOAD_LIBRARY_SEARCH_SYSTEM32).
// The program's entry calls it before anything else. Nothing to do on POSIX.
void restrict_library_search();

// The program's arguments, element 0 (the program path) included. Windows reads the process
// command line; POSIX answers what `remember_arguments` was given (main does that first).
std::vector<std::u16string> command_line_arguments();
void remember_arguments(int argc, char** argv);

// The running program's own file, as a full path: Windows GetModuleFileNameW of the program's
// module, with a buffer that grows until the whole path fits, beyond MAX_PATH too; POSIX the
// target of /proc/self/exe. Empty when it cannot be read.
std::u16string program_path();

// The value of an environment variable, empty when it is unset.
std::u16string environment_variable(std::u16string_view name);
// Sets (or, with `unset`, removes) a variable of this process. Tests use it to point the
// installer at sandbox folders; the installer itself never changes its environment.
void set_environment_variable_for_testing(std::u16string_view name, std::u16string_view value,
                                          bool unset = false);

std::uint32_t current_process_id();

// False only when no process with this id runs (Windows: OpenProcess fails for a missing id, or
// the process has exited; POSIX: kill with signal 0 answers ESRCH). An id the platform cannot
// ask about (0, or beyond POSIX's pid range) counts as running.
bool process_is_running(std::uint32_t id);

// Milliseconds since an arbitrary start (GetTickCount64; POSIX: the monotonic clock).
std::uint64_t tick_count();

// Waits `milliseconds`. Tests install a `PauseObserver` so that retry pauses and the Premiere
// wait are recorded instead of slept; with an observer set, nothing sleeps.
void pause(std::uint32_t milliseconds);
using PauseObserver = void (*)(std::uint32_t milliseconds);
void observe_pauses_for_testing(PauseObserver observer);  // nullptr restores real sleeping

struct LocalTime {
  int year, month, day, hour, minute, second;
};
LocalTime local_time();

// The executable file names of the running processes of the session `session` (see
// platform/users.h): programs run in other sessions (another user's, with fast user switching or
// Remote Desktop; the services') are not listed. Windows: a Toolhelp snapshot, each process kept
// when ProcessIdToSessionId names that session. POSIX, where each user stands in for a session
// numbered by the user id plus one: the processes of that user (the owner of /proc/<pid>), each
// named by the last segment of its argv[0], split at '/' and '\\', so programs run under Wine
// count. False when the list cannot be taken.
bool running_process_names(std::vector<std::u16string>& names, std::uint32_t session);

// A lock that one process of the whole machine holds at a time, whichever user or session it
// runs in. Released by `release` or the destructor, and by the system when its holder ends in
// any way, so a holder that was killed never blocks the next one.
//
// Windows: the mutex "Global\<name>", created with an access list that lets every
// administrator and SYSTEM open it (the default one of a mutex SYSTEM created would turn
// administrators away), waited for without waiting. A mutex belongs to a thread: the thread that
// takes the lock releases it. POSIX: an exclusive flock on "<folder>/<name>.lock", created when
// missing (never through a link) and removed again by its holder as it lets go, so that no run
// leaves it behind; `folder` must exist.
class MachineLock {
 public:
  enum class Result {
    taken,
    // Another process holds it (Windows also: the mutex exists and refuses this account).
    held_elsewhere,
    // The lock could not be made or asked; `last_file_error` says why.
    failed,
  };

  MachineLock() = default;
  MachineLock(const MachineLock&) = delete;
  MachineLock& operator=(const MachineLock&) = delete;
  ~MachineLock();

  // Takes the lock if nobody holds it; never waits. A lock already taken is released first.
  Result take(std::u16string_view name, const std::u16string& folder);
  void release();

 private:
  std::intptr_t handle_ = -1;
  std::u16string path_;  // POSIX: the file locked
};

}  // namespace platform
