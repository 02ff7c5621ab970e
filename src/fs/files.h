#pragma once

// Folders and whole files: the operations every write and removal of the installer goes
// through. Paths are native paths (see fs/paths.h). None of them keeps state between calls, and
// every handle one opens is closed before it returns.
//
// Every operation answers true or false and never throws (errors that are not failures, such as
// exhausted memory, pass through); the callers choose the words the user reads. A failed one
// tells what failed through an optional `FileError`, for the setup log.
//
// Another program may hold a file for a moment just after it was written or before it is
// changed: virus scanners, indexers and backup agents open files without delete sharing. Every
// creation, rename and deletion below is therefore tried again while it fails for such a reason
// (platform::is_transient_file_error), after pauses of 50 ms doubling up to 1 s, about 5 s in
// all (platform::pause, which tests observe instead of sleeping).
//
// What no operation does: write or delete anything outside the path it was given. Links to
// folders are removed as links and never entered; on POSIX a symbolic link at a path to be
// written is refused rather than written through. (Windows writes open what the path names, as
// CreateFileW does.)
//
// POSIX differs where Windows has no equivalent:
// - There are no mandatory sharing modes. Writers take an exclusive advisory lock and readers a
//   shared one, so the installer and anything else that honours flock exclude each other as on
//   Windows; a program that ignores advisory locks is not kept out.
// - An open file never resists deletion or renaming: its holders keep the old data.
// - Permission bits stand in for the read-only attribute: clearing read-only means making the
//   entry writable (and a folder searchable) by its owner. There are no hidden or system bits.

#include <cstdint>
#include <string>

#include "platform/file_system.h"

// Why an operation failed: the step ("Rename <from> to <to>", "Delete <path>", ...), the path it
// failed on, and the system's error code (platform::last_file_error). Only the first failure of
// an operation is kept: the one the rest follows from.
struct FileError {
  std::string step;
  std::u16string path;
  std::uint32_t code = 0;

  // The setup log's line for it: step + " failed (error " + code + ")", for instance
  // "Rename C:\p\x.prm.123.corvalis-new to C:\p\x.prm failed (error 32)".
  std::string line() const;
};

// The failure message for a folder that could not be made: "Couldn't make the folder " + the
// path in UTF-8 + ".".
std::string folder_not_made_message(const std::u16string& folder);

// Makes the folder and its missing parents, parents first; a parent that cannot be made fails
// the call before its child is tried, and is the path of the `error`. Does nothing when anything
// already exists at the path (even a file: the caller's next step then fails). A trailing
// separator is accepted. Roots are never created: on Windows a separator at index 0, 1 or 2
// ("\x", "C:\x", "\\server") starts no parent step; on POSIX only the leading "/" is such a
// root.
[[nodiscard]] bool make_folders(const std::u16string& path, FileError* error = nullptr);

// Writes the whole content, creating or truncating the file; nobody else may open it meanwhile.
// False when it cannot be opened (nothing is deleted then) or not fully written (the file is
// deleted, so no partial file is left; the earlier content of a replaced file is gone). Empty
// content makes an empty file. Nothing is flushed beyond what closing does.
[[nodiscard]] bool write_whole_file(const std::u16string& path, const std::string& content,
                                    FileError* error = nullptr);

// Reads a whole file below 1 GiB into `buffer`, resized to the file's length. False when it
// cannot be opened (missing, a folder, or being written elsewhere) or is 1 GiB or larger, and
// the buffer is then unchanged; false after a failed read leaves the buffer at the file's
// length with undefined contents. Reading is never retried.
[[nodiscard]] bool read_whole_file(const std::u16string& path, std::string& buffer,
                                   FileError* error = nullptr);
// The same for the file `name` inside `folder` (found at `path`, for the log); a link at the
// name is refused.
[[nodiscard]] bool read_whole_file(const platform::OpenFolder& folder, const std::u16string& name,
                                   const std::u16string& path, std::string& buffer,
                                   FileError* error = nullptr);

// Removes a folder tree, clearing read-only on each entry first (Windows; POSIX makes each folder
// writable). Links inside the tree are removed as links, and a path that is itself a link loses
// only the link; no link's target is entered or changed, also when another program swaps a
// folder of the tree for a link while it is removed: every entry is reached through its folder
// held open, never through a path. True when nothing is left at the path (a missing path
// counts), false when something is: entries that resisted (a file another program holds without
// delete sharing) stay, with the folders that hold them.
[[nodiscard]] bool remove_tree(const std::u16string& path, FileError* error = nullptr);

// Readies the folder at `path` to be renamed away whole and removed later: every link in it (or
// the path itself, when it is a link) is removed as a link, since some systems move what a link
// points to when the link is renamed, and every other entry must be one that could be removed
// now (Windows: no other program holds it open without delete sharing), brief holds waited
// out. False at the first entry that cannot be readied; by then only links were removed. True
// for a missing path.
[[nodiscard]] bool ready_to_move_tree(const std::u16string& path, FileError* error = nullptr);

// Renames the file or folder `from` to `to` on the same volume, replacing a file at `to` (never
// a folder), and writes the change through (see platform::move_file_replacing). A link is
// renamed as itself. False when it cannot be renamed: `from` then stays where it was.
[[nodiscard]] bool rename_path(const std::u16string& from, const std::u16string& to,
                               FileError* error = nullptr);

enum class PlaceResult { placed, folder_not_made, not_written };

// Moves the file at `from` to `relative` (names joined by the platform separator) below the
// folder `root`, which is open, making the folders on the way; `root_path` is `root`'s path, for
// the log; with `flush` the file is forced to the disk once it is there. Each folder on the way is
// opened as itself, never through a link, and held open until the file is in place, so that another
// program that swaps one for a link cannot send the file elsewhere; a link planted at the file's
// own name is replaced, never written through. Across volumes the bytes are copied into a new file
// (a failed copy is removed), and `from` stays for its owner to delete. Brief holds are waited out.
// The file ends with the permissions its folder gives new entries, as one made there would have:
// a moved file is given them (see inherit_permissions); failing that, it is `not_written`.
[[nodiscard]] PlaceResult place_file_below(const platform::OpenFolder& root,
                                           const std::u16string& root_path,
                                           const std::u16string& relative,
                                           const std::u16string& from, bool flush,
                                           FileError* error = nullptr);

// Gives the entry `name` of the open folder `folder` (found at `folder_path`, for the log) the
// permissions the folder gives new entries, and no others, brief holds waited out; on Windows
// what a folder holds follows (see platform::OpenFolder::inherit_permissions). What Setup moves
// into a user's folders needs it: a move keeps the access list of the folder the entry came
// from, which may be an administrator's.
[[nodiscard]] bool inherit_permissions(const platform::OpenFolder& folder,
                                       const std::u16string& folder_path,
                                       const std::u16string& name, FileError* error = nullptr);

// Renames the entry `from_name` of the open folder `from` (found at `from_folder`) to `to_name`
// in the open folder `to` (at `to_folder`), replacing a file or a link there, written through,
// brief holds waited out (or, without `wait_out_holds`, tried once). No link on the way is
// followed; the paths only name the step in the log. False when it cannot be renamed: the entry
// then stays where it was.
[[nodiscard]] bool rename_between(const platform::OpenFolder& from,
                                  const std::u16string& from_folder,
                                  const std::u16string& from_name, const platform::OpenFolder& to,
                                  const std::u16string& to_folder, const std::u16string& to_name,
                                  FileError* error = nullptr, bool wait_out_holds = true);

// Creates the file `name` inside `folder` (found at `folder_path`, for the log), only where
// nothing is yet (a link planted at the name is never followed), writes all of `content` and
// forces it to the disk. False when it cannot be created or fully written: a file it created is
// deleted again.
[[nodiscard]] bool create_whole_file(const platform::OpenFolder& folder,
                                     const std::u16string& folder_path, const std::u16string& name,
                                     const std::string& content, FileError* error = nullptr);

// Removes the entry `name` of `folder` (found at `folder_path`, for the log): a file, a link (never
// what it points to) or a folder tree, as remove_tree does, brief holds waited out (or, without
// `wait_out_holds`, each entry tried once). True when it is gone; false when something resisted,
// which then stays with the folders that hold it.
[[nodiscard]] bool remove_entry(const platform::OpenFolder& folder,
                                const std::u16string& folder_path, const std::u16string& name,
                                FileError* error = nullptr, bool wait_out_holds = true);
