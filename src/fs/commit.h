#pragma once

// The commit protocol: how the installer changes what a user depends on (the panel folder, each
// plug-in, each settings document) so that whatever ends a run (a failure, Cancel, a crash, a
// second Setup, a power cut) leaves each of them old or new, whole, and the next run clears what
// was left. Everything that names, judges or removes the copies a change makes beside what it
// changes is here, with the lock that keeps two runs from changing the machine at once.
//
// A place is one entry that changes whole: the panel folder in the extensions folder, a plug-in
// file, a settings document. Its change keeps its copies in a side folder on the same volume (the
// place's own folder, or for the panel the CEP folder beside `extensions`, so that no copy of the
// panel ever loads as a second extension), named after the place `P` and a switch id, digits no
// entry beside the place uses yet:
//
//   P.<id>.corvalis-new           the new copy, put together and flushed before the switch
//   P.<id>.corvalis-switch        the switch's record, on the disk before the place is touched
//   P.<id>.corvalis-old           the place set aside by the switch: always whole
//   P.<id>.removed.corvalis-old   a set-aside copy on its way out: never put back
//
// A switch, and what an end at each step leaves:
// 1. The new copy is complete and flushed. An end here leaves the old place; the next run
//    removes the new copy.
// 2. Where the place holds something, the record is written and flushed, then the place is
//    renamed aside. An end between the two leaves the old place and a record the next run
//    removes; an end after the rename leaves no place, the whole old copy aside and the record
//    that proves this switch set it aside: the next run puts it back.
// 3. The new copy is renamed into the place. From here the place is new.
// 4. The record is deleted (the place no longer needs the copy back), the set-aside copy is
//    renamed to its removal name and removed. What resists removal (a file another program
//    keeps open, a program that is running) stays under the removal name, a file marked to go
//    at the next restart, anything else for a later run to remove; it is never mistaken for a
//    whole copy, nor is a set-aside copy left without its record.
// A file is first replaced by one replacing rename, tried again while another program holds it
// for a moment; only when that still fails (a plug-in that a running program has loaded resists
// being replaced, not being renamed) does it take the steps above, with the two renames back to
// back. A change to a settings document is only step 1 and one replacing rename.
//
// Set-aside copies go back only on the evidence of their record: a place emptied any other way
// (the user removed the panel) stays empty, and a copy aside without its record is removed. No
// tick counts are compared: they start again at every boot.
//
// What is not guaranteed:
// - Ending the process (Cancel, a crash, the fault seam of the tests) is not a power cut: what
//   was written stays in the system's cache and reaches the disk. Against a power cut, every
//   step above flushes what it wrote, and renames are written through, before the next step;
//   POSIX also syncs the folders that record them. Windows is trusted to keep the order in
//   which NTFS logs changes to a folder.
// - Between the two renames of a switch no entry is at the place (no system swaps two folders
//   in one step), for a moment, or until the next run when a run ends there.
// - Another program that changes these names behind the run's back (other than by holding a
//   file) is not defended against beyond the link rules of fs/files.h.

#include <cstdint>
#include <string>

#include "fs/files.h"
#include "platform/file_system.h"
#include "platform/process.h"

// The lock one install or uninstall run holds from before its clean-up to its end, so that no
// other run, of this user or another, changes or clears anything meanwhile. A check changes
// nothing that is installed and takes none. On POSIX it is "corvalis-setup.lock" in the folder
// given (the first Program Files folder), made with its parents when missing; Windows ignores
// the folder. Released by the destructor, on the thread that took it, and by the system when the
// process ends in any way.
class RunLock {
 public:
  enum class Result { taken, held_elsewhere, folder_not_made, failed };

  RunLock() = default;
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  // Takes the lock if no other run holds it; never waits. For `folder_not_made` and `failed`,
  // `error` names the step.
  Result take(const std::u16string& folder, FileError* error = nullptr);

 private:
  platform::MachineLock lock_;
};

// Where one place is and where its change keeps its copies. The folders are open as themselves
// (fs/files.h) and on one volume; `side` may be `folder`, which is null when the place's folder
// is missing (only clear_beside takes that). The paths only name steps in the log.
struct CommitPlace {
  const platform::OpenFolder* folder;
  std::u16string folder_path;
  const platform::OpenFolder& side;
  std::u16string side_path;
  std::u16string name;
};

// How a switch ended.
enum class SwitchResult {
  // The place holds the new copy, or nothing when there was none.
  done,
  // The switch could not start (the place could not be set aside or replaced, or its new copy
  // not made): the place holds what it held, untouched.
  untouched,
  // The new copy could not go in: the place holds what it held, whole, put back if it had been
  // set aside.
  new_refused,
  // The place held something and now holds nothing: the set-aside copy could not be renamed
  // back. Its record stays, so the next run puts it back.
  place_emptied,
};

// One change of one place, from its new copy to the removal of what it replaced. A new copy that
// was not switched in is removed when the switch goes, on every way out.
class PlaceSwitch {
 public:
  // Picks the switch id: the tick count, or the next number no entry beside the place uses.
  explicit PlaceSwitch(const CommitPlace& place);
  PlaceSwitch(const PlaceSwitch&) = delete;
  PlaceSwitch& operator=(const PlaceSwitch&) = delete;
  ~PlaceSwitch();

  // The name in the side folder under which the caller puts the new copy together, flushed.
  const std::u16string& staged_name() const { return staged_; }

  // For a file: renames the new copy over the place in one step, again while another program
  // holds either for a moment. True when the place is new; false leaves it as it was.
  bool replace(FileError* error = nullptr);

  // Steps 2 to 4: puts the new copy in place of what the place holds, or, without `staged`,
  // only takes away what it holds. The renames wait out brief holds, or with `back_to_back` are
  // each tried once, so that the place is empty for the shortest time; a copy set aside is
  // renamed back (waiting) when the new one cannot go in. The first failure is noted in
  // `error`, or for `place_emptied` the rename back that failed.
  SwitchResult put_in_place(bool staged, bool back_to_back, FileError* error = nullptr);

 private:
  bool set_aside(bool wait_out_holds, FileError* error);
  bool rename_in(bool wait_out_holds, FileError* error);
  bool put_back(FileError* error);

  const CommitPlace& place_;
  std::u16string id_;
  std::u16string staged_, record_, aside_;
};

// Clears what runs that were cut short left beside the place: puts the set-aside copy of a switch
// cut between its renames back (on its record's evidence; kept with it while the place's folder
// is missing), and removes new copies, copies on
// their way out, set-aside copies whose place is whole or that have no record, and records whose
// copy is gone. Links and every other entry are left alone; what resists stays for a later run.
// Only the holder of the run lock may call it: a running switch's copies look the same.
void clear_beside(const CommitPlace& place);

// `clear_beside` for the file at `path`, whose folder is its side folder, opened as itself;
// nothing when the folder is missing or a link.
void clear_beside_file(const std::u16string& path);

// Replaces the file `name` inside `folder` (found at `folder_path`, for the log) with `content`
// in one step, for a document that must never be lost half-written: the content goes to a new
// file beside it (created, never opened through a link), reaches the disk, and is renamed over
// `name` (replacing a file or a link there, written through). False when any step fails: the new
// file is deleted again and `name` keeps what it held.
[[nodiscard]] bool replace_whole_file(const platform::OpenFolder& folder,
                                      const std::u16string& folder_path, const std::u16string& name,
                                      const std::string& content, FileError* error = nullptr);

// Writes `content` to `target` even when the old file is held open, as a loaded plug-in is, and
// replaces it whole: makes the target's folder, clears what earlier runs left beside the target
// (`clear_beside`), writes and flushes the new copy beside it, and switches it in with a
// replacing rename first (see PlaceSwitch). `done` when the target holds the new content;
// `untouched` or `new_refused` when it keeps its old content (or stays missing): the folder
// could not be made or opened as itself, the new copy not written, or the target resisted;
// `place_emptied` when the target held a file and now holds none.
[[nodiscard]] SwitchResult replace_file_in_use(const std::u16string& target,
                                               const std::string& content,
                                               FileError* error = nullptr);
