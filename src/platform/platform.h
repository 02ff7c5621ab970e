#pragma once

// The platform layer: every operating-system service the installer uses, and nothing else.
//
// The logic above this header is ordinary C++ and knows no operating system. Each group of
// operations below has one implementation per platform in its own file (`*_win.cpp` on the real
// Win32 calls, `*_posix.cpp` as the stand-in that lets the logic run and be tested everywhere),
// and CMake picks the files. No other file includes a system header.
//
// Native paths are UTF-16 (`std::u16string`) on every platform, converted only where they meet
// the OS: reinterpreted as `wchar_t` on Windows, converted to UTF-8 on POSIX. The separator the
// installer writes is `path_separator`: a backslash on Windows, a slash on POSIX. Text that is
// not a path (documents, messages, log lines) is UTF-8 in `std::string`.
//
// Unless a function says otherwise, it never throws: failure is a `false` or an empty result.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// ---------------------------------------------------------------------------------------------
// Text and paths

// The separator of native paths: u'\\' on Windows, u'/' on POSIX.
extern const char16_t path_separator;

// Where programs are installed when the environment does not say: C:\Program Files on
// Windows, /opt (the folder for add-on software packages) on POSIX.
extern const std::u16string_view default_program_files_folder;

// Converts between UTF-8 and UTF-16 the way Windows' converters do without the strict flag:
// ill-formed input is never refused, each ill-formed part becomes U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);
std::string utf16_to_utf8(std::u16string_view text);

// Appends `code` in UTF-8: one byte below 0x80, two below 0x800, three below 0x10000, else four.
// Nothing is judged: a surrogate gets its three bytes and a code above 0x10FFFF four (up to
// 0x1FFFFF). Portable, the same on every platform.
void append_utf8(std::string& out, char32_t code);

// ---------------------------------------------------------------------------------------------
// Process, environment, clock

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

// The value of an environment variable, empty when it is unset.
std::u16string environment_variable(std::u16string_view name);
// Sets (or, with `unset`, removes) a variable of this process. Tests use it to point the
// installer at sandbox folders; the installer itself never changes its environment.
void set_environment_variable_for_testing(std::u16string_view name, std::u16string_view value,
                                          bool unset = false);

// The user's temporary folder, with its trailing separator; empty when the platform reports
// none. Windows: GetTempPath2W where Windows has it (SYSTEM then gets C:\Windows\SystemTemp, which
// other users cannot write to), else GetTempPathW, with a buffer as long as the path; never a
// folder of Windows' own choosing in its place. POSIX: $TMPDIR when set and not empty, else /tmp.
std::u16string temp_folder();

// A known-folder identifier, laid out like a Windows GUID.
struct KnownFolderId {
  std::uint32_t data1;
  std::uint16_t data2, data3;
  std::uint8_t data4[8];
};
// FOLDERID_RoamingAppData, {3EB685DB-65F9-4CF6-A03A-E3EF65729F3D}.
inline constexpr KnownFolderId roaming_app_data_folder{
    0x3EB685DB, 0x65F9, 0x4CF6, {0xA0, 0x3A, 0xE3, 0xEF, 0x65, 0x72, 0x9F, 0x3D}};
// The folder's path for the current user, empty when the platform cannot say. Windows:
// SHGetKnownFolderPath (its buffer released in every case). POSIX knows only the roaming
// folder: $APPDATA when set and not empty, else $XDG_CONFIG_HOME, else $HOME/.config.
std::u16string known_folder(const KnownFolderId& id);

// How one system call went: which call, what it was asked, and the system's error code when it
// failed. Nothing here is worded for the user; the caller logs it and chooses the message.
struct CallOutcome {
  std::string call;     // "LookupAccountNameW"; empty when the call was never made
  std::string subject;  // what it was asked: an account, a registry value
  bool succeeded = false;
  std::uint32_t error = 0;  // GetLastError, or the status a registry call returns
};

// The user signed in to this process's session, and this process's own user. Setup runs with
// administrator rights: a standard user who gives an administrator's credentials runs it as the
// administrator, so the user signed in is then another account than this process's.
struct SessionUser {
  // The session's user name and domain. Windows: WTSQuerySessionInformationW for
  // WTS_CURRENT_SESSION, WTSUserName then WTSDomainName (wtsapi32, loaded from System32).
  CallOutcome session;
  std::u16string name;  // empty when the session has no user (the services' session)
  std::u16string domain;
  // The signed-in user's SID in its string form (LookupAccountNameW on domain\name, then
  // ConvertSidToStringSidW); not asked when the session has no user.
  CallOutcome lookup;
  std::u16string sid;
  // This process's user (OpenProcessToken, GetTokenInformation with TokenUser,
  // ConvertSidToStringSidW), in the same form.
  CallOutcome own;
  std::u16string own_sid;
};
// Windows: the calls above; each stops at its first failure, recorded in its outcome. No other
// account's token or process is opened. POSIX has one user per session: the stand-in answers
// that user for both, its user id as the SID, unless `set_session_user_for_testing` says otherwise.
SessionUser session_user();

// The folders of the user with the SID `sid`, as that user's registry records them, read
// without that user's token, each value as it is stored (REG_EXPAND_SZ is not expanded: the
// caller expands %USERPROFILE% with `profile_folder`, never with this process's environment).
// Windows, with RegGetValueW (the user's hive is loaded while the user is signed in):
// - `profile_folder`: ProfileImagePath of the key
//   HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList\<sid>;
// - `roaming_folder`: AppData of the key
//   HKEY_USERS\<sid>\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders;
// - `temp_folder`: TEMP of the key HKEY_USERS\<sid>\Environment.
// POSIX has no registry: every call fails with ENOSYS, unless `set_session_user_for_testing`
// gave values.
struct UserFolderValues {
  CallOutcome profile;
  std::u16string profile_folder;
  CallOutcome roaming;
  std::u16string roaming_folder;
  CallOutcome temp;
  std::u16string temp_folder;
};
UserFolderValues user_folder_values(const std::u16string& sid);

// POSIX only, for tests: what `session_user` and `user_folder_values` answer from now on;
// nullptr restores the stand-in's own answers.
void set_session_user_for_testing(const SessionUser* session, const UserFolderValues* folders);

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

// The executable file names of the running processes of this process's session: programs
// another user runs in another session (fast user switching, Remote Desktop) are not listed.
// Windows: a Toolhelp snapshot, each process kept when ProcessIdToSessionId names this
// process's session. POSIX, where the user stands in for the session: the processes of this
// process's real user (the owner of /proc/<pid>), each named by the last segment of its argv[0],
// split at '/' and '\\', so programs run under Wine count. False when the list cannot be taken.
bool running_process_names(std::vector<std::u16string>& names);

// ---------------------------------------------------------------------------------------------
// One run at a time

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

// ---------------------------------------------------------------------------------------------
// Files and folders

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

// ---------------------------------------------------------------------------------------------
// Hashes (BCrypt on Windows with the pseudo-handles 0x41 and 0x61; libcrypto on POSIX)

// SHA-256 of the whole input in one call. False when the platform's hash fails.
bool sha256(const void* data, std::size_t length, std::uint8_t digest[32]);

// A hash fed in pieces, for input that is never whole in memory (a download on its way to disk,
// a signature's message): SHA-256 for a 32-byte digest, SHA-512 for a 64-byte one. Every step
// answers false once anything has failed, and after `finish` (a finished hash takes no more
// input); the hash object is destroyed with the `IncrementalHash` on every way out.
template <std::size_t DigestSize>
class IncrementalHash {
 public:
  IncrementalHash();
  IncrementalHash(const IncrementalHash&) = delete;
  IncrementalHash& operator=(const IncrementalHash&) = delete;
  ~IncrementalHash();

  bool update(const void* data, std::size_t length);
  bool finish(std::uint8_t digest[DigestSize]);

 private:
  void* state_ = nullptr;
  bool failed_ = false;
};

using Sha256 = IncrementalHash<32>;
using Sha512 = IncrementalHash<64>;

// ---------------------------------------------------------------------------------------------
// HTTP (WinHTTP on Windows, libcurl on POSIX)

// The largest body an exchange accepts: 200 MiB. A body of exactly this size is accepted.
inline constexpr std::size_t http_body_limit = 209'715'200;

// A body slower than this, averaged over the stall window, fails its exchange: a host that
// trickles a few bytes a second would otherwise hold a run for days.
inline constexpr std::uint32_t http_least_bytes_per_second = 1024;
inline constexpr std::uint32_t http_stall_window_seconds = 60;
// Shortens the stall window (whole seconds, at least 1; 0 restores the 60 s) so that tests see
// a slow body fail without waiting a minute.
void set_http_stall_window_for_testing(std::uint32_t seconds);

// Where the body of an exchange goes, piece by piece in order, as it arrives.
class HttpBodySink {
 public:
  // Takes the next piece; false ends the exchange as failed.
  virtual bool write(const void* data, std::size_t length) = 0;

 protected:
  ~HttpBodySink() = default;
};

// How an exchange ended.
struct HttpAnswer {
  // The whole exchange worked and the whole body was read, whatever the status.
  bool complete = false;
  // The status of the response, 0 when none arrived. The caller judges it.
  std::uint32_t status = 0;
  // The transport's own error code of an exchange that did not complete (GetLastError on
  // Windows, the CURLcode on POSIX), 0 when there is none.
  std::uint32_t error = 0;
  // A response with status 200 whose body is longer than the exchange's limit: its stated
  // Content-Length said so before any of the body was read, or the first byte beyond arrived.
  bool over_limit = false;
};

// Opens the process-wide client handle (WinHttpOpen; POSIX: libcurl's global state and a share
// object), kept until the process ends; later calls only answer. False when it cannot be opened.
bool open_http_client();

// One GET of `url` with the user agent "CorvalisSetup/1.0" and "Cache-Control: no-cache", on
// the client `open_http_client` opened (opening it when nobody has).
//
// The body of a response with status 200 goes to `body` as it arrives, at most `limit` bytes
// (never more than `http_body_limit`): a stated Content-Length beyond the limit ends the
// exchange before any of the body is read, and a body that grows beyond it ends the exchange
// before a byte beyond reaches the sink. The body of any other status is read up to
// `http_body_limit` and dropped, since the caller judges only the status. A body slower than
// `http_least_bytes_per_second` over the stall window ends the exchange too.
HttpAnswer http_exchange(const std::u16string& url, HttpBodySink& body, std::uint64_t limit);

}  // namespace platform
