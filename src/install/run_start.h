#pragma once

// What every run shares before it does its own work: whose folders it changes (and where its log
// goes with them), the run lock, the wait for Premiere Pro, the clean-up of what runs cut short
// left, and the run's scratch folder.

#include <cstdint>
#include <string>
#include <string_view>

#include "fs/commit.h"
#include "install/run_settings.h"
#include "ui/progress.h"

// True while a process named "Adobe Premiere Pro.exe" (any letter case) runs in `session`
// (platform::running_process_names): another user's Premiere Pro, in another session, holds
// none of this user's files.
bool premiere_is_running(std::uint32_t session);

// The message a run that finds another run holding the lock fails with.
inline constexpr const char* already_running_message =
    "Setup is already running. Finish it, then run Setup again.";

// The message a run that may not wait fails with while Premiere Pro runs.
inline constexpr const char* premiere_open_message =
    "Premiere Pro is open. Close it, then run Setup again.";

// The start of a run, in this order:
// 0. the log goes to the file the command line names, if any (use_log_file), which must be
//    writable (throws Failure("Setup couldn't write its log to FILE, so nothing was
//    installed."));
// 1. for a run that changes the machine (all but a check), the signed-in user is decided (throws
//    the decision's Failure) and the log follows that user, unless the command line named its
//    file;
// 2. `first_line` is logged;
// 3. Setup's own temporary folder must be usable (throws Failure);
// 4. for a run that changes the machine: the run lock is taken (throws
//    Failure(already_running_message)), Premiere Pro must be closed (wait_while_premiere_runs), and
//    what runs cut short left beside the panel, the plug-ins, the settings documents and the kept
//    copy of Setup is cleared (fs/commit.h);
// 5. run folders of processes that have ended are removed.
// The lock is held until the RunStart goes, on the thread that made it.
class RunStart {
 public:
  RunStart(const RunSettings& settings, std::string_view first_line, WindowReference window);

  // The signed-in user's roaming folder; empty for a run that changes nothing of the user's.
  const std::u16string& roaming_folder() const { return roaming_folder_; }

  // Makes sure Premiere Pro is closed in the session of the user the run is for: waits while it
  // runs, the window saying "Close Premiere Pro to continue", nothing logged meanwhile; or, for
  // a silent run, which never waits, throws Failure(premiere_open_message). True when it waited.
  bool wait_while_premiere_runs(WindowReference window) const;

 private:
  bool silent_ = false;
  std::uint32_t session_ = 0;
  std::u16string roaming_folder_;
  RunLock lock_;
};

// The run's private scratch folder in Setup's temporary folder, "corvalis-setup-" + process id +
// "-" + tick count, removed whenever the run ends, by success or by failure. Throws Failure when
// it cannot be made.
class RunFolder {
 public:
  RunFolder();
  RunFolder(const RunFolder&) = delete;
  RunFolder& operator=(const RunFolder&) = delete;
  ~RunFolder();

  const std::u16string& path() const { return path_; }

 private:
  std::u16string path_;
};
