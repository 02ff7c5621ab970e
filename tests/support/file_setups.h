#pragma once

// Set-ups that tests need and the installer never does: holding a file open the way another
// program would, links to folders, attributes, large files, a file-size limit, access lists. One
// implementation per platform (file_setups_win.cpp on Win32, file_setups_posix.cpp), picked by
// CMake like the platform layer.
//
// Where a platform (or Wine standing in for Windows) cannot make a set-up, the helper says why
// in a sentence the test hands to GTEST_SKIP, so nothing passes without having been tried.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/process.h"

// How another program holds a file open.
enum class Hold {
  // Nobody else may open it (share mode 0). POSIX: an exclusive advisory lock.
  exclusive,
  // Open for reading, shared for reading only: it may be neither written, deleted nor renamed
  // meanwhile. POSIX: a shared advisory lock (deletion and renaming are never refused there).
  read_without_delete_sharing,
  // Mapped as a program image, the way a loaded plug-in is held: Windows refuses to delete it
  // but lets it be renamed. The file must be a program image (see copy_program_image).
  // Windows only.
  loaded_image,
  // Running as a program, which POSIX refuses to open for writing (ETXTBSY) while it runs. The
  // held file is replaced by a copy of /bin/sleep and run. POSIX only.
  running_program,
};

class HeldFile {
 public:
  HeldFile(const std::u16string& path, Hold hold);
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  ~HeldFile();

  // False when the file could not be held; why() then says why.
  bool held() const { return held_; }
  const std::string& why() const { return why_; }
  void release();

 private:
  bool held_ = false;
  std::string why_;
  std::intptr_t handles_[2] = {-1, -1};
  void* view_ = nullptr;
};

// While it lives, the pauses of the installer's retries are recorded instead of slept, so a
// test waits for nothing. A hold handed to `release_after` ends once the pauses add up to the
// given time, as a program that lets go of a file then would.
class ObservedPauses {
 public:
  ObservedPauses() {
    current() = this;
    platform::observe_pauses_for_testing(&record);
  }
  ObservedPauses(const ObservedPauses&) = delete;
  ObservedPauses& operator=(const ObservedPauses&) = delete;
  ~ObservedPauses() {
    platform::observe_pauses_for_testing(nullptr);
    current() = nullptr;
  }

  void release_after(std::uint32_t milliseconds, HeldFile& held) {
    release_at_ = milliseconds;
    held_ = &held;
  }
  const std::vector<std::uint32_t>& pauses() const { return pauses_; }
  std::uint32_t total() const {
    std::uint32_t sum = 0;
    for (const std::uint32_t pause : pauses_) sum += pause;
    return sum;
  }

 private:
  static ObservedPauses*& current() {
    static ObservedPauses* observed = nullptr;
    return observed;
  }
  static void record(std::uint32_t milliseconds) {
    ObservedPauses& self = *current();
    self.pauses_.push_back(milliseconds);
    if (self.held_ && self.total() >= self.release_at_) {
      self.held_->release();
      self.held_ = nullptr;
    }
  }

  std::vector<std::uint32_t> pauses_;
  std::uint32_t release_at_ = 0;
  HeldFile* held_ = nullptr;
};

// A link to a folder, as made by make_folder_link.
struct FolderLink {
  bool made = false;
  // False where the platform shows the link as a link but cannot remove it as one: Wine, which
  // cannot make junctions, presents a Unix symbolic link as a reparse-point folder, yet its
  // RemoveDirectoryW does not remove such a link.
  bool removable = true;
  std::string why;  // why it was not made, or why it is not removable
};

// Makes `link` a link to the folder `target`. Windows: a junction, else a symbolic link, else
// (under Wine only) a Unix symbolic link made by /bin/ln. POSIX: a symbolic link.
FolderLink make_folder_link(const std::u16string& link, const std::u16string& target);
// Removes a link the tests made, whatever the platform's own calls can do.
void remove_link(const std::u16string& link);

// Makes `link` a symbolic link to the file `target`. Empty on success, else why not.
std::string make_file_link(const std::u16string& link, const std::u16string& target);

// Marks a file or folder read-only, and on Windows hidden and system too. POSIX: clears the
// write permission bits. False when the platform refused.
bool make_read_only(const std::u16string& path);
// True when the entry is still marked read-only (attribute, or no owner write permission).
bool is_read_only(const std::u16string& path);

// True when the platform refuses to create entries in a folder the test has made read-only
// (make_read_only). POSIX's root ignores permission bits; Windows ignores a folder's read-only
// attribute for its entries. Empty when it does, else why not.
std::string read_only_folders_are_enforced(const std::u16string& folder);

// Creates a file of `bytes` length without writing them (a sparse or unwritten extent).
bool make_file_of_size(const std::u16string& path, std::uint64_t bytes);

// Copies the running test program, a program image that Windows can map, to `path`. Empty on
// success, else why not (POSIX programs are not Windows images).
std::string copy_program_image(const std::u16string& path);

// A process-wide limit on the size of files written while it lives, so that a write fails
// part-way, as on a full disk. POSIX sets RLIMIT_FSIZE (SIGXFSZ ignored) and restores it. A
// Windows program cannot set one for itself: under Wine it is active only when the test was
// started by the wrapper entry that sets the limit before Wine starts, announced in
// CORVALIS_TEST_FILE_SIZE_LIMIT.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(std::uint64_t bytes);
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  ~FileSizeLimit();

  bool active() const { return active_; }
  std::uint64_t bytes() const { return bytes_; }
  const std::string& why() const { return why_; }

 private:
  bool active_ = false;
  std::uint64_t bytes_ = 0;
  std::string why_;
  std::uint64_t saved_[2] = {0, 0};
  void* saved_handler_ = nullptr;
};

// The access list (DACL) of the file or folder at `path` in SDDL ("D:AI(A;ID;FA;;;SY)..."), read
// back with GetSecurityInfo; empty when it cannot be read, and on POSIX, which keeps none.
std::string access_list(const std::u16string& path);
// Gives the file or folder at `path` the access list of `sddl` ("D:P(A;OICI;FA;;;SY)"), protected
// from inheriting. Empty on success, else why not.
std::string set_access_list(const std::u16string& path, const std::string& sddl);
