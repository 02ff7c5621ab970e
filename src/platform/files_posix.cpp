// POSIX files and folders. POSIX has no mandatory sharing modes: the file modes take advisory
// locks (flock) so that two installers, or an installer and its tests, see the same exclusion
// as on Windows; a program that ignores advisory locks is not kept out.

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_faults.h"
#include "platform/file_system.h"
#include "platform/text.h"

namespace platform {

namespace {

std::string native(const std::u16string& path) {
  return utf16_to_utf8(path);
}

std::string parent_of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool is_symbolic_link(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

// Closes `fd` without losing the error code of the call that failed before.
void close_keeping_error(int fd) {
  const int error = errno;
  ::close(fd);
  errno = error;
}

}  // namespace

std::uint32_t last_file_error() {
  return static_cast<std::uint32_t>(errno);
}

bool is_transient_file_error(std::uint32_t code) {
  return code == EBUSY || code == ETXTBSY;
}

bool path_exists(const std::u16string& path) {
  struct stat info;
  return !path.empty() && ::lstat(native(path).c_str(), &info) == 0;
}

bool is_link(const std::u16string& path) {
  return !path.empty() && is_symbolic_link(native(path));
}

CreateFolderResult create_folder(const std::u16string& path) {
  if (!file_change_permitted(FileChange::create_folder, path)) return CreateFolderResult::failed;
  if (::mkdir(native(path).c_str(), 0777) == 0) return CreateFolderResult::created;
  return errno == EEXIST ? CreateFolderResult::already_exists : CreateFolderResult::failed;
}

bool delete_file(const std::u16string& path) {
  if (!file_change_permitted(FileChange::delete_file, path)) return false;
  const std::string name = native(path);
  struct stat info;
  // DeleteFileW refuses folders; unlink would too, but say so plainly.
  if (::lstat(name.c_str(), &info) != 0) return false;
  if (S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    return false;
  }
  return ::unlink(name.c_str()) == 0;
}

bool remove_folder(const std::u16string& path) {
  if (!file_change_permitted(FileChange::remove_folder, path)) return false;
  const std::string name = native(path);
  if (is_symbolic_link(name)) return ::unlink(name.c_str()) == 0;
  return ::rmdir(name.c_str()) == 0;
}

bool reset_attributes(const std::u16string& path) {
  if (!file_change_permitted(FileChange::reset_attributes, path)) return false;
  const std::string name = native(path);
  struct stat info;
  if (::lstat(name.c_str(), &info) != 0) return false;
  if (S_ISLNK(info.st_mode)) return true;  // chmod would change the link's target
  mode_t mode = info.st_mode | S_IWUSR | S_IRUSR;
  if (S_ISDIR(info.st_mode)) mode |= S_IXUSR;
  return ::chmod(name.c_str(), mode & 07777) == 0;
}

bool make_executable(const std::u16string& path) {
  if (!file_change_permitted(FileChange::reset_attributes, path)) return false;
  const std::string name = native(path);
  struct stat info;
  if (::lstat(name.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  return ::chmod(name.c_str(), (info.st_mode | S_IXUSR | S_IXGRP | S_IXOTH) & 07777) == 0;
}

bool delete_at_restart(const std::u16string& path) {
  if (!file_change_permitted(FileChange::delete_file, path)) return false;
  return ::unlink(native(path).c_str()) == 0;
}

bool move_file_replacing(const std::u16string& from, const std::u16string& to, bool write_through) {
  if (!file_change_permitted(FileChange::rename, from, to)) return false;
  const std::string target = native(to);
  if (::rename(native(from).c_str(), target.c_str()) != 0) return false;
  if (write_through) {
    // The rename is durable only once the folder that records it is on the disk.
    const int folder = ::open(parent_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return false;
    const bool synced = ::fsync(folder) == 0;
    close_keeping_error(folder);
    return synced;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------

FolderListing::~FolderListing() {
  if (handle_) ::closedir(static_cast<DIR*>(handle_));
}

bool FolderListing::open(const std::u16string& folder, std::u16string_view pattern) {
  if (handle_) ::closedir(static_cast<DIR*>(handle_));
  handle_ = ::opendir(native(folder).c_str());
  has_first_ = false;
  if (!handle_) return false;
  pattern_ = pattern;
  // Like FindFirstFileW, an enumeration that matches nothing does not start.
  has_first_ = next(first_);
  return has_first_;
}

bool FolderListing::next(FolderEntry& entry) {
  if (has_first_) {
    has_first_ = false;
    entry = std::move(first_);
    return true;
  }
  if (!handle_) return false;
  DIR* folder = static_cast<DIR*>(handle_);
  const std::string pattern = utf16_to_utf8(pattern_);
  while (const dirent* item = ::readdir(folder)) {
    const std::string name = item->d_name;
    if (name == "." || name == "..") continue;
    // Like FindFirstFileW, "*" matches names that start with a dot.
    if (::fnmatch(pattern.c_str(), name.c_str(), 0) != 0) continue;
    struct stat info;
    const int at = ::dirfd(folder);
    entry.name = utf8_to_utf16(name);
    entry.is_link = false;
    entry.is_folder = false;
    if (::fstatat(at, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
      entry.is_link = S_ISLNK(info.st_mode);
      if (entry.is_link) {
        entry.is_folder = ::fstatat(at, name.c_str(), &info, 0) == 0 && S_ISDIR(info.st_mode);
      } else {
        entry.is_folder = S_ISDIR(info.st_mode);
      }
    }
    return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------------

namespace {

constexpr int folder_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

}  // namespace

OpenFolder::~OpenFolder() {
  close();
}

bool OpenFolder::open(const std::u16string& path) {
  close();
  handle_ = ::open(native(path).c_str(), folder_flags);
  return handle_ >= 0;
}

bool OpenFolder::open(const OpenFolder& parent, const std::u16string& name) {
  close();
  handle_ = ::openat(static_cast<int>(parent.handle_), native(name).c_str(), folder_flags);
  return handle_ >= 0;
}

void OpenFolder::close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

bool OpenFolder::list(std::vector<FolderEntry>& entries) const {
  entries.clear();
  // The stream gets a descriptor of its own; it shares the position, so it starts over.
  const int fd = ::dup(static_cast<int>(handle_));
  if (fd < 0) return false;
  DIR* folder = ::fdopendir(fd);
  if (!folder) {
    close_keeping_error(fd);
    return false;
  }
  ::rewinddir(folder);
  while (const dirent* item = ::readdir(folder)) {
    const std::string name = item->d_name;
    if (name == "." || name == "..") continue;
    struct stat info;
    FolderEntry entry;
    entry.name = utf8_to_utf16(name);
    if (::fstatat(fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
      entry.is_link = S_ISLNK(info.st_mode);
      entry.is_folder = S_ISDIR(info.st_mode);
    }
    entries.push_back(std::move(entry));
  }
  ::closedir(folder);
  return true;
}

bool OpenFolder::remove(const std::u16string& name) const {
  if (!file_change_permitted(FileChange::delete_file, handle_, name)) return false;
  const int fd = static_cast<int>(handle_);
  const std::string entry = native(name);
  struct stat info;
  if (::fstatat(fd, entry.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
  // Swapped between the two calls, the entry makes unlinkat fail: a folder is never unlinked as
  // a file, and AT_REMOVEDIR removes no link.
  return ::unlinkat(fd, entry.c_str(), S_ISDIR(info.st_mode) ? AT_REMOVEDIR : 0) == 0;
}

bool OpenFolder::make_removable(const std::u16string& name) const {
  if (!file_change_permitted(FileChange::reset_attributes, handle_, name)) return false;
  const int fd = static_cast<int>(handle_);
  const std::string entry = native(name);
  struct stat info;
  if (::fstatat(fd, entry.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (!S_ISDIR(info.st_mode)) return true;
  return ::fchmodat(fd, entry.c_str(), (info.st_mode | S_IRWXU) & 07777, AT_SYMLINK_NOFOLLOW) == 0;
}

CreateFolderResult OpenFolder::create_folder(const std::u16string& name) const {
  if (!file_change_permitted(FileChange::create_folder, handle_, name)) {
    return CreateFolderResult::failed;
  }
  if (::mkdirat(static_cast<int>(handle_), native(name).c_str(), 0777) == 0) {
    return CreateFolderResult::created;
  }
  return errno == EEXIST ? CreateFolderResult::already_exists : CreateFolderResult::failed;
}

bool OpenFolder::move_in(const std::u16string& from, const std::u16string& name,
                         bool write_through) const {
  if (!file_change_permitted(FileChange::rename, handle_, name)) return false;
  const int to = static_cast<int>(handle_);
  return ::renameat(AT_FDCWD, native(from).c_str(), to, native(name).c_str()) == 0 &&
         (!write_through || ::fsync(to) == 0);
}

bool OpenFolder::move_in(const OpenFolder& from, const std::u16string& from_name,
                         const std::u16string& name) const {
  if (!file_change_permitted(FileChange::rename, handle_, name)) return false;
  const int to = static_cast<int>(handle_);
  const int source = static_cast<int>(from.handle_);
  // The move is durable once the folders that record it are on the disk.
  return ::renameat(source, native(from_name).c_str(), to, native(name).c_str()) == 0 &&
         ::fsync(to) == 0 && (source == to || ::fsync(source) == 0);
}

bool OpenFolder::flush() const {
  if (!file_change_permitted(FileChange::flush, handle_)) return false;
  return ::fsync(static_cast<int>(handle_)) == 0;
}

bool OpenFolder::can_remove(const std::u16string& name) const {
  struct stat info;
  return ::fstatat(static_cast<int>(handle_), native(name).c_str(), &info, AT_SYMLINK_NOFOLLOW) ==
         0;
}

bool OpenFolder::inherit_permissions(const std::u16string& name) const {
  // Nothing to change; the seam is asked all the same, so that the tests cut and fail runs at
  // the same steps as on Windows.
  return file_change_permitted(FileChange::set_permissions, handle_, name);
}

// ---------------------------------------------------------------------------------------------

File::~File() {
  close();
}

namespace {

// Empties a file whose lock we hold. One that is already empty (a new file, mostly) is left
// alone: truncating it anyway makes ext4 start writing it to disk the moment it is closed (its
// guard for files replaced by truncation), and a deletion soon after then waits for that
// write. A check run writes and deletes its panel files, up to a few milliseconds each that way.
bool empty_locked_file(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return false;
  return info.st_size == 0 || ::ftruncate(fd, 0) == 0;
}

}  // namespace

bool File::open(const std::u16string& path, Mode mode) {
  close();
  const std::string name = native(path);
  int flags = O_CLOEXEC;
  int lock = LOCK_EX;
  switch (mode) {
    case Mode::write_exclusive:
      // Truncated once the lock is held. A symbolic link at the path is refused rather than
      // followed, so a write never lands outside the path it was given.
      flags |= O_WRONLY | O_CREAT | O_NOFOLLOW;
      break;
    case Mode::read_shared:
      flags |= O_RDONLY;
      lock = LOCK_SH;
      break;
  }
  if (mode == Mode::write_exclusive && !file_change_permitted(FileChange::open_for_writing, path)) {
    return false;
  }
  const int fd = ::open(name.c_str(), flags, 0666);
  if (fd < 0) return false;
  struct stat info;
  bool usable = ::fstat(fd, &info) == 0;
  if (usable && S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    usable = false;
  }
  usable = usable && ::flock(fd, lock | LOCK_NB) == 0 &&
           (mode != Mode::write_exclusive || empty_locked_file(fd));
  if (!usable) {
    close_keeping_error(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

bool File::open_existing(const OpenFolder& folder, const std::u16string& name, bool for_writing) {
  close();
  if (for_writing && !file_change_permitted(FileChange::open_for_writing, folder.handle_, name)) {
    return false;
  }
  const int fd = ::openat(static_cast<int>(folder.handle_), native(name).c_str(),
                          (for_writing ? O_WRONLY : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  bool usable = ::fstat(fd, &info) == 0;
  if (usable && S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    usable = false;
  }
  if (!usable || ::flock(fd, (for_writing ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    close_keeping_error(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

bool File::open_for_appending(const OpenFolder& folder, const std::u16string& name) {
  close();
  if (!file_change_permitted(FileChange::open_for_writing, folder.handle_, name)) return false;
  // O_NOFOLLOW refuses a link at the name, a dangling one too, rather than creating its target;
  // O_NONBLOCK keeps a pipe planted there from holding the open until someone reads it.
  const int fd =
      ::openat(static_cast<int>(folder.handle_), native(name).c_str(),
               O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  struct stat info;
  bool usable = ::fstat(fd, &info) == 0;
  if (usable && (!S_ISREG(info.st_mode) || info.st_nlink != 1)) {
    errno = S_ISDIR(info.st_mode) ? EISDIR : EMLINK;
    usable = false;
  }
  if (!usable || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close_keeping_error(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

bool File::create_new(const OpenFolder& folder, const std::u16string& name) {
  close();
  if (!file_change_permitted(FileChange::open_for_writing, folder.handle_, name)) return false;
  const int fd = ::openat(static_cast<int>(folder.handle_), native(name).c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close_keeping_error(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

bool File::size(std::uint64_t& bytes) {
  struct stat info;
  if (!is_open() || ::fstat(static_cast<int>(handle_), &info) != 0) return false;
  bytes = static_cast<std::uint64_t>(info.st_size);
  return true;
}

bool File::write(const void* data, std::size_t length) {
  if (!is_open() || !file_change_permitted(FileChange::write, handle_)) return false;
  const char* at = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t written = ::write(static_cast<int>(handle_), at, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    at += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

bool File::read(void* data, std::size_t length) {
  if (!is_open()) return false;
  char* at = static_cast<char*>(data);
  while (length > 0) {
    const ssize_t got = ::read(static_cast<int>(handle_), at, length);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    at += got;
    length -= static_cast<std::size_t>(got);
  }
  return true;
}

bool File::flush() {
  return is_open() && file_change_permitted(FileChange::flush, handle_) &&
         ::fsync(static_cast<int>(handle_)) == 0;
}

void File::close() {
  if (is_open()) ::close(static_cast<int>(handle_));
  handle_ = invalid_handle;
}

}  // namespace platform
