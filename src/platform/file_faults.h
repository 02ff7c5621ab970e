#pragma once

// The fault seam of the file functions: every call of the platform layer that changes the disk
// asks `file_change_permitted` first and fails (with the error code the seam set) when it
// answers false.
//
// The program is built without the seam: each question is an inline `true` that the compiler
// removes. Only the test build of the file functions (CORVALIS_FILE_FAULTS, see src/CMakeLists)
// declares the seam, which counts the changes and, configured through the environment, ends the
// process or fails the call at the Nth one:
//   CORVALIS_FAULT_AT     N, counted from 1 (unset or 0: nothing is cut)
//   CORVALIS_FAULT_MODE   "end" ends the process at once, as Cancel or a crash would (no
//                         destructors, no clean-up); "fail" fails the call as a full disk does;
//                         "hook" calls the hook a test set (a second run started at that
//                         moment, say) and then lets the change go on
//   CORVALIS_FAULT_TRACE  a file that gets one line per change, "N operation path[ -> path]"
//                         (before the change is made), so a test learns the last N
//
// What it models and what it does not: ending the process leaves the disk as the system has it
// at that instant, every completed write included, since written data survives in the system's
// cache. That is not a power cut, which can also lose what was written but not yet flushed, or
// reorder it; the seam cannot show that, and the commit protocol answers it by flushing and
// writing through before each step that depends on an earlier one (fs/commit.h).

#include <cstdint>
#include <string>

namespace platform {

enum class FileChange {
  create_folder,
  delete_file,
  remove_folder,
  reset_attributes,
  set_permissions,
  rename,
  open_for_writing,
  write,
  flush,
};

#if defined(CORVALIS_FILE_FAULTS)

// The change's name in the trace.
inline const char* file_change_name(FileChange change) {
  switch (change) {
    case FileChange::create_folder:
      return "create-folder";
    case FileChange::delete_file:
      return "delete";
    case FileChange::remove_folder:
      return "remove-folder";
    case FileChange::reset_attributes:
      return "set-attributes";
    case FileChange::set_permissions:
      return "set-permissions";
    case FileChange::rename:
      return "rename";
    case FileChange::open_for_writing:
      return "open-for-writing";
    case FileChange::write:
      return "write";
    case FileChange::flush:
      return "flush";
  }
  return "change";
}

bool file_change_permitted(FileChange change, const std::u16string& path);
bool file_change_permitted(FileChange change, const std::u16string& from, const std::u16string& to);
// A change through an open file (the handle of platform::File), or to the entry `name` of an
// open folder (the handle of platform::OpenFolder).
bool file_change_permitted(FileChange change, std::intptr_t handle);
bool file_change_permitted(FileChange change, std::intptr_t folder, const std::u16string& name);
// Counts from 1 again: a forked test child starts its own run.
void restart_file_change_count_for_testing();
// What mode "hook" calls at the Nth change; nullptr for nothing.
void set_file_change_hook_for_testing(void (*hook)());

#else

inline bool file_change_permitted(FileChange, const std::u16string&) {
  return true;
}
inline bool file_change_permitted(FileChange, const std::u16string&, const std::u16string&) {
  return true;
}
inline bool file_change_permitted(FileChange, std::intptr_t) {
  return true;
}
inline bool file_change_permitted(FileChange, std::intptr_t, const std::u16string&) {
  return true;
}

#endif

}  // namespace platform
