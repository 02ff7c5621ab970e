#pragma once

// The platform layer's files and folders: single calls on paths, folders held open as
// themselves, and open files. fs/files.h builds whole operations (trees, whole files) on them.
//
// Native paths are UTF-16 (`std::u16string`) on every platform, converted only where they meet
// the OS (see platform/text.h). Unless a function says otherwise, it never throws: failure is a
// `false` or an empty result.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The calls below that change files report why they failed through `last_file_error`: the
// system's error code of the last failed call on this thread (GetLastError; POSIX errno), read
// right after the failure, before any other call.
std::uint32_t last_file_error();

// True for the errors another program causes by holding a file for a moment, as virus
// scanners, indexers and backup agents do: sharing violation, lock violation, access denied
// and user-mapped section on Windows (32, 33, 5, 1224); EBUSY and ETXTBSY on POSIX. Access
// denied also has lasting causes; a caller that waits it out gives up after a while.
bool is_transient_file_error(std::uint32_t code);

// True when anything (file, folder, link) exists at the path (GetFileAttributesW succeeds).
// A dangling symbolic link counts as existing on POSIX.
bool path_exists(const std::u16string& path);

enum class CreateFolderResult { created, already_exists, failed };
// Creates one folder, not its parents (CreateDirectoryW; ERROR_ALREADY_EXISTS is reported as
// `already_exists`, as is EEXIST on POSIX).
CreateFolderResult create_folder(const std::u16string& path);

// True when the path itself is a link: a reparse point on Windows (junction, symbolic link;
// GetFileAttributesW, which does not follow it), a symbolic link on POSIX (lstat).
bool is_link(const std::u16string& path);

// Deletes a file, or a link itself, never what it points to (DeleteFileW; POSIX unlink).
bool delete_file(const std::u16string& path);
// Removes an empty folder, or a link to a folder without entering it (RemoveDirectoryW;
// POSIX: rmdir, or unlink for a symbolic link).
bool remove_folder(const std::u16string& path);
// Resets attributes to normal so read-only, hidden and system entries can go
// (SetFileAttributesW with FILE_ATTRIBUTE_NORMAL). A link's own attributes are reset, never its
// target's: SetFileAttributesW would follow a link, so a reparse point is opened as itself and
// changed through its handle. POSIX: makes the entry readable and writable by its owner
// (searchable too for a folder); links are left alone, since chmod would follow them.
bool reset_attributes(const std::u16string& path);
// Lets the file be run as a program: POSIX sets its owner's, group's and others' execute bits
// (read and write stay as they are); Windows runs any file with a program's name: true, nothing
// to do.
bool make_executable(const std::u16string& path);

// Deletes the file at the next restart of the system, for a file that cannot go now (a program
// that is running, a plug-in another session's Premiere Pro has loaded): MoveFileExW with
// MOVEFILE_DELAY_UNTIL_REBOOT, which takes administrator rights. POSIX deletes it now (unlink):
// there a file in use goes at once, its users keeping what they opened.
bool delete_at_restart(const std::u16string& path);

// Renames `from` to `to`, replacing a file at `to` (MoveFileExW with MOVEFILE_REPLACE_EXISTING,
// plus MOVEFILE_WRITE_THROUGH when `write_through`; POSIX: rename, then fsync of the folder when
// `write_through`). The replacement is atomic where the file system makes it so.
bool move_file_replacing(const std::u16string& from, const std::u16string& to, bool write_through);

struct FolderEntry {
  std::u16string name;
  bool is_folder = false;  // a folder, or a link to one
  bool is_link = false;    // a reparse point (junction, symbolic link) / POSIX symbolic link
};

// One enumeration of a folder (FindFirstFileW / FindNextFileW / FindClose). `pattern` is the
// last segment of the search, such as "*" or "*.corvalis-old" (POSIX matches it with fnmatch).
// "." and ".." are never yielded. The handle is closed when the listing is destroyed.
class FolderListing {
 public:
  FolderListing() = default;
  FolderListing(const FolderListing&) = delete;
  FolderListing& operator=(const FolderListing&) = delete;
  ~FolderListing();

  // False when the listing cannot start (missing folder, not a folder, no access). It may also
  // be false when nothing matches the pattern, as FindFirstFileW is; either way nothing follows.
  bool open(const std::u16string& folder, std::u16string_view pattern);
  // The next entry; false at the end.
  bool next(FolderEntry& entry);

 private:
  void* handle_ = nullptr;
  std::u16string pattern_;
  FolderEntry first_;
  bool has_first_ = false;
};

// A folder held open as itself, for work on a tree that must never leave it while another program
// changes the tree: it is never opened through a link, and its entries are reached through it,
// not through a path, so a folder swapped for a link meanwhile cannot lead anywhere else. POSIX: a
// descriptor opened with O_DIRECTORY | O_NOFOLLOW, entries reached with the *at calls and
// AT_SYMLINK_NOFOLLOW. Windows: a handle opened with FILE_FLAG_OPEN_REPARSE_POINT and without
// delete sharing, which keeps the folder from being renamed or replaced while it is open; its
// entries are opened as themselves (never through a reparse point) and removed through their
// own handles. Closed by the destructor or `close`.
class OpenFolder {
 public:
  OpenFolder() = default;
  OpenFolder(const OpenFolder&) = delete;
  OpenFolder& operator=(const OpenFolder&) = delete;
  ~OpenFolder();

  // Opens the folder at `path`, or the folder `name` inside `parent`. False when it is missing,
  // is not a folder, or is a link.
  bool open(const std::u16string& path);
  bool open(const OpenFolder& parent, const std::u16string& name);
  void close();

  // The folder's entries. Here `is_folder` is true only for a folder that is not a link.
  bool list(std::vector<FolderEntry>& entries) const;
  // Removes the entry `name`: a file, a link (never what it points to) or an empty folder.
  // Windows clears its read-only attribute first; POSIX needs no permission on the entry itself.
  bool remove(const std::u16string& name) const;
  // Makes the folder `name` readable, writable and searchable for its owner, so that what it
  // holds can be removed (POSIX; a link is left alone). Windows: true, nothing to do.
  bool make_removable(const std::u16string& name) const;
  // True when the entry `name` could be removed now. Windows: it opens for deletion, that is,
  // no other program holds it open without delete sharing. POSIX, without mandatory sharing:
  // when it exists.
  bool can_remove(const std::u16string& name) const;

  // Gives the entry `name` the permissions this folder gives its new entries, and no others:
  // its own access list is emptied and made to inherit. A file moved here from another folder
  // of the same volume keeps the access list it had there (a move carries its security
  // descriptor), so a file Setup downloaded as an administrator and moved into a standard
  // user's folder would stay out of that user's reach. Windows: SetSecurityInfo with an empty
  // DACL and UNPROTECTED_DACL_SECURITY_INFORMATION, through the entry opened as itself with
  // READ_CONTROL | WRITE_DAC; the system passes the change on to what a folder holds. POSIX:
  // true, nothing to do: permission bits are not inherited from a folder, so a moved file has
  // the mode and owner it would have had if made in place.
  bool inherit_permissions(const std::u16string& name) const;

  // Creates the folder `name` inside (as create_folder does).
  CreateFolderResult create_folder(const std::u16string& name) const;
  // Moves the file at the path `from` into this folder as `name`, replacing a file or a link
  // there (the link itself, never what it points to), and with `write_through` makes the move
  // durable (MOVEFILE_WRITE_THROUGH; POSIX: an fsync of this folder). False when `from` is on
  // another volume (Windows ERROR_NOT_SAME_DEVICE, POSIX EXDEV) or cannot be moved.
  bool move_in(const std::u16string& from, const std::u16string& name, bool write_through) const;
  // Moves the entry `from_name` of the open folder `from` (this one, or another on the same
  // volume) into this folder as `name`, replacing a file or a link there (as
  // move_file_replacing does), written through. Neither name is followed if it is a link.
  bool move_in(const OpenFolder& from, const std::u16string& from_name,
               const std::u16string& name) const;
  // Makes the entries created in the folder so far durable before anything that follows (POSIX:
  // an fsync of the folder). Windows: true, nothing to do: NTFS logs the changes to a folder's
  // entries in the order they are made, so a later rename never reaches the disk without them.
  bool flush() const;

 private:
  friend class File;
  std::intptr_t handle_ = -1;
  std::u16string path_;  // Windows names entries by path below the pinned folder
};

// An open file. Closed by the destructor or `close`, on success and on failure alike.
class File {
 public:
  enum class Mode {
    // GENERIC_WRITE, no sharing, CREATE_ALWAYS: nobody else may open the file while it is
    // written. POSIX has no mandatory sharing: O_WRONLY|O_CREAT with an exclusive advisory lock,
    // truncated once the lock is held; a symbolic link at the path is refused (O_NOFOLLOW).
    write_exclusive,
    // GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING: fails while someone writes the file.
    read_shared,
  };

  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  bool open(const std::u16string& path, Mode mode);
  // Creates the file `name` inside `folder` for writing, as `write_exclusive` opens it, but only
  // when nothing is there yet (CREATE_NEW; POSIX O_EXCL): a link planted at the name is never
  // followed.
  bool create_new(const OpenFolder& folder, const std::u16string& name);
  // Opens the file `name` that exists inside `folder`: as `read_shared` does, or with
  // `for_writing` for writing (nothing is truncated; nobody else may write meanwhile). A link
  // there is refused.
  bool open_existing(const OpenFolder& folder, const std::u16string& name, bool for_writing);
  // Opens the file `name` inside `folder` for appending, creating it when nothing is there:
  // every write lands at the end, others may read it meanwhile but not write it
  // (FILE_APPEND_DATA, FILE_SHARE_READ; POSIX O_APPEND with an exclusive advisory lock). A link
  // at the name is neither followed nor created through, and a folder or a file with more than
  // one name (a hard link someone made to a file elsewhere) is refused.
  bool open_for_appending(const OpenFolder& folder, const std::u16string& name);
  bool is_open() const { return handle_ != invalid_handle; }
  // The file's length (GetFileSizeEx).
  bool size(std::uint64_t& bytes);
  // One write of the whole buffer; true only when every byte was written.
  bool write(const void* data, std::size_t length);
  // One read of exactly `length` bytes; true only when all of them arrived.
  bool read(void* data, std::size_t length);
  // Forces the written data to the disk (FlushFileBuffers / fsync).
  bool flush();
  void close();

 private:
  static constexpr std::intptr_t invalid_handle = -1;
  std::intptr_t handle_ = invalid_handle;
};

}  // namespace platform
