#pragma once

// Corvalis in Windows' list of installed programs: the copy of Setup that an install keeps for the
// uninstall, in a folder only administrators may change so that nobody can swap it, and the
// uninstall entry that names it. The POSIX stand-in keeps the entry as a small file beside the
// copy.

#include <cstdint>
#include <string>

#include "platform/registry.h"

// %ProgramFiles%\Corvalis\corvalis-setup.exe (the Program Files folder of plugin_folders.h).
std::u16string kept_copy_path();

// HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Corvalis in the 64-bit
// view; POSIX: "uninstall-entry" beside the kept copy.
platform::RegistryKey uninstall_entry();

// After a successful install: places a copy of the file `program` at `kept_copy_path()` (whole or
// not at all, as a plug-in is placed), then writes the uninstall entry afresh: DisplayName
// "Corvalis for Premiere Pro", DisplayVersion `app_version`, Publisher "Corvalis", DisplayIcon
// the copy + ",0", InstallLocation its folder, UninstallString "<copy>" --uninstall,
// QuietUninstallString "<copy>" --uninstall --silent, NoModify and NoRepair 1, EstimatedSize
// the KiB of `bytes_installed` and the copy. Logs "Registered Corvalis with Windows"; a step
// that fails is logged with its line instead and does not fail the install: what was installed
// works.
void register_with_windows(const std::u16string& program, const std::string& app_version,
                           std::uint64_t bytes_installed);

// The uninstall's last steps, in this order: the kept copy goes (it may be the program running
// this uninstall, which Windows lets be renamed but not deleted: it is moved out to Setup's
// temporary folder and deleted at the next restart, so a copy installed again before then is not
// touched), then the uninstall entry, then the Corvalis folder when that leaves it empty. The
// entry goes last so that an uninstall cut short stays listed and can be run again. Throws
// Failure when the copy or the entry cannot go (the step is logged).
struct Unregistered {
  bool copy_removed = false;
  bool entry_removed = false;
};
Unregistered unregister_from_windows();

// Clears what runs cut short left of the kept copy's switches, beside it and in Setup's
// temporary folder (fs/commit.h). Only the holder of the run lock calls it.
void remove_kept_copy_leftovers();
