#pragma once

// Folders and whole files: the operations every write and removal of the installer goes
// through. Paths are native paths (see fs/paths.h). None of them keeps state between calls, and
// every handle one opens is closed before it returns.
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

#include <string>

// Makes the folder and its missing parents, parents first; a parent that cannot be made raises
// before its child is tried. Does nothing when anything already exists at the path (even a
// file: the caller's next step then fails). A trailing separator is accepted.
// Roots are never created: on Windows a separator at index 0, 1 or 2 ("\x", "C:\x", "\\server")
// starts no parent step; on POSIX only the leading "/" is such a root.
// Throws Failure("Couldn't make the folder <path>.") naming the folder that could not be made.
void make_folders(const std::u16string& path);

// Writes the whole content, creating or truncating the file; nobody else may open it meanwhile.
// False when it cannot be opened (nothing is deleted then) or not fully written (the file is
// deleted, so no partial file is left; the earlier content of a replaced file is gone). Empty
// content makes an empty file. Nothing is flushed beyond what closing does.
bool write_whole_file(const std::u16string& path, const std::string& content);

// Reads a whole file below 1 GiB into `buffer`, resized to the file's length. False when it
// cannot be opened (missing, a folder, or being written elsewhere) or is 1 GiB or larger, and
// the buffer is then unchanged; false after a failed read leaves the buffer at the file's
// length with undefined contents.
bool read_whole_file(const std::u16string& path, std::string& buffer);

// Removes a folder tree, clearing read-only, hidden and system on each entry first (the folder's
// own attributes are left as they are). Links inside the tree are removed as links, and a path
// that is itself a link loses only the link; no link's target is entered or changed. True when
// nothing is left at the path (a missing path counts), false when something is: entries that
// resisted (a file another program holds without delete sharing) stay, with the folders that
// hold them. A tree changed by another program while it is removed is not guarded against.
bool remove_tree(const std::u16string& path);

// Writes `content` to `target` even when the old file is held open, as a loaded plug-in is:
// 1. makes the target's folder (a target without a separator is in the current folder);
// 2. deletes the leftovers of earlier calls in that folder ("*.corvalis-old") that can be
//    deleted now; the others wait for a later call;
// 3. deletes an existing target, or when it resists, renames it aside to
//    "<target>.<tick count>.corvalis-old" (replacing a file of that name);
// 4. writes the content with write_whole_file.
// True when the target now holds the new content. False on any failure, never a Failure: the
// folder cannot be made; the old target can be neither deleted nor renamed (it keeps its
// content); or the write fails (no file at the target, a renamed old file stays as a leftover).
// Errors that are not failures, such as exhausted memory, pass through.
// Not guaranteed: where a holder allows deletion but the file system keeps the name until the
// holder closes it (Windows without POSIX delete semantics, such as FAT volumes or Wine), the
// deletion "succeeds", the write then fails, and the old file goes when its holder lets go.
// POSIX deletes open files, so there the old file never becomes a leftover.
bool replace_file_in_use(const std::u16string& target, const std::string& content);
