// Windows files and folders on the Win32 calls, with the sharing modes the installer relies on.

#include <windows.h>
// windows.h first: the header below relies on its types.
#include <aclapi.h>

#include "platform/file_faults.h"
#include "platform/file_system.h"
#include "platform/support_win.h"

namespace platform {

namespace {

HANDLE native_handle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

bool fill_entry(const WIN32_FIND_DATAW& found, FolderEntry& entry) {
  entry.name = reinterpret_cast<const char16_t*>(found.cFileName);
  entry.is_folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  entry.is_link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  return entry.name != u"." && entry.name != u"..";
}

}  // namespace

std::uint32_t last_file_error() {
  return ::GetLastError();
}

bool is_transient_file_error(std::uint32_t code) {
  return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
         code == ERROR_ACCESS_DENIED || code == ERROR_USER_MAPPED_FILE;
}

bool path_exists(const std::u16string& path) {
  return ::GetFileAttributesW(wide(long_path(path))) != INVALID_FILE_ATTRIBUTES;
}

bool is_link(const std::u16string& path) {
  const DWORD attributes = ::GetFileAttributesW(wide(long_path(path)));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

CreateFolderResult create_folder(const std::u16string& path) {
  if (!file_change_permitted(FileChange::create_folder, path)) return CreateFolderResult::failed;
  if (::CreateDirectoryW(wide(long_path(path)), nullptr)) return CreateFolderResult::created;
  return ::GetLastError() == ERROR_ALREADY_EXISTS ? CreateFolderResult::already_exists
                                                  : CreateFolderResult::failed;
}

bool delete_file(const std::u16string& path) {
  if (!file_change_permitted(FileChange::delete_file, path)) return false;
  return ::DeleteFileW(wide(long_path(path))) != 0;
}

bool remove_folder(const std::u16string& path) {
  if (!file_change_permitted(FileChange::remove_folder, path)) return false;
  return ::RemoveDirectoryW(wide(long_path(path))) != 0;
}

bool reset_attributes(const std::u16string& path) {
  if (!file_change_permitted(FileChange::reset_attributes, path)) return false;
  if (!is_link(path))
    return ::SetFileAttributesW(wide(long_path(path)), FILE_ATTRIBUTE_NORMAL) != 0;
  // SetFileAttributesW would reach through a link and change its target, which is not ours.
  // Attribute access is not subject to sharing, so any holder of the link lets this through.
  const KernelHandle link{
      ::CreateFileW(wide(long_path(path)), FILE_WRITE_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
  if (!link) return false;
  FILE_BASIC_INFO info{};  // zero times are left as they are
  info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return ::SetFileInformationByHandle(link.get(), FileBasicInfo, &info, sizeof info) != 0;
}

bool make_executable(const std::u16string&) {
  return true;
}

bool delete_at_restart(const std::u16string& path) {
  if (!file_change_permitted(FileChange::delete_file, path)) return false;
  return ::MoveFileExW(wide(long_path(path)), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
}

bool move_file_replacing(const std::u16string& from, const std::u16string& to, bool write_through) {
  if (!file_change_permitted(FileChange::rename, from, to)) return false;
  DWORD flags = MOVEFILE_REPLACE_EXISTING;
  if (write_through) flags |= MOVEFILE_WRITE_THROUGH;
  return ::MoveFileExW(wide(long_path(from)), wide(long_path(to)), flags) != 0;
}

// ---------------------------------------------------------------------------------------------

FolderListing::~FolderListing() {
  if (handle_) ::FindClose(handle_);
}

bool FolderListing::open(const std::u16string& folder, std::u16string_view pattern) {
  if (handle_) ::FindClose(handle_);
  handle_ = nullptr;
  has_first_ = false;
  std::u16string search = folder;
  if (!search.empty() && search.back() != u'\\') search += u'\\';
  search += pattern;
  WIN32_FIND_DATAW found;
  HANDLE find = ::FindFirstFileW(wide(long_path(search)), &found);
  if (find == INVALID_HANDLE_VALUE) return false;
  handle_ = find;
  has_first_ = fill_entry(found, first_);
  return true;
}

bool FolderListing::next(FolderEntry& entry) {
  if (has_first_) {
    has_first_ = false;
    entry = std::move(first_);
    return true;
  }
  if (!handle_) return false;
  WIN32_FIND_DATAW found;
  while (::FindNextFileW(handle_, &found)) {
    if (fill_entry(found, entry)) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------------

namespace {

// Opens the entry at `path` as itself, a reparse point included, never what one points to.
HANDLE open_entry(const std::u16string& path, DWORD access, DWORD share) {
  return ::CreateFileW(wide(long_path(path)), access, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

OpenFolder::~OpenFolder() {
  close();
}

bool OpenFolder::open(const std::u16string& path) {
  close();
  // Without delete sharing: while this handle is open, nobody renames the folder or puts a link
  // in its place, so the paths of its entries keep naming what is inside it.
  HANDLE folder = open_entry(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (folder == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(folder, &info)) {
    const DWORD error = ::GetLastError();
    ::CloseHandle(folder);
    ::SetLastError(error);
    return false;
  }
  // The handle answers for a reparse point opened as itself. Wine opens what a Unix link leads
  // to even so, and shows the link only to a look at the path, which is asked too.
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || is_link(path)) {
    ::CloseHandle(folder);
    ::SetLastError(ERROR_DIRECTORY);
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(folder);
  path_ = path;
  return true;
}

bool OpenFolder::open(const OpenFolder& parent, const std::u16string& name) {
  return open(parent.path_ + u'\\' + name);
}

void OpenFolder::close() {
  if (handle_ != -1) ::CloseHandle(native_handle(handle_));
  handle_ = -1;
  path_.clear();
}

bool OpenFolder::list(std::vector<FolderEntry>& entries) const {
  entries.clear();
  FolderListing listing;
  if (!listing.open(path_, u"*")) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
  FolderEntry entry;
  while (listing.next(entry)) {
    entry.is_folder = entry.is_folder && !entry.is_link;
    entries.push_back(entry);
  }
  return true;
}

bool OpenFolder::remove(const std::u16string& name) const {
  if (!file_change_permitted(FileChange::delete_file, handle_, name)) return false;
  const KernelHandle entry{open_entry(
      path_ + u'\\' + name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, share_all)};
  if (!entry) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(entry.get(), &info)) return false;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
    FILE_BASIC_INFO basic{};  // zero times are left as they are
    basic.FileAttributes = info.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY;
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!::SetFileInformationByHandle(entry.get(), FileBasicInfo, &basic, sizeof basic)) {
      return false;
    }
  }
  FILE_DISPOSITION_INFO disposition{TRUE};
  return ::SetFileInformationByHandle(entry.get(), FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

bool OpenFolder::make_removable(const std::u16string&) const {
  return true;
}

CreateFolderResult OpenFolder::create_folder(const std::u16string& name) const {
  return platform::create_folder(path_ + u'\\' + name);
}

bool OpenFolder::move_in(const std::u16string& from, const std::u16string& name,
                         bool write_through) const {
  if (!file_change_permitted(FileChange::rename, handle_, name)) return false;
  // A link at the name is replaced as itself: a rename never writes through it.
  DWORD flags = MOVEFILE_REPLACE_EXISTING;
  if (write_through) flags |= MOVEFILE_WRITE_THROUGH;
  return ::MoveFileExW(wide(long_path(from)), wide(long_path(path_ + u'\\' + name)), flags) != 0;
}

bool OpenFolder::move_in(const OpenFolder& from, const std::u16string& from_name,
                         const std::u16string& name) const {
  if (!file_change_permitted(FileChange::rename, handle_, name)) return false;
  // Both folders are held without delete sharing, so their paths still name them.
  return ::MoveFileExW(wide(long_path(from.path_ + u'\\' + from_name)),
                       wide(long_path(path_ + u'\\' + name)),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool OpenFolder::flush() const {
  return file_change_permitted(FileChange::flush, handle_);
}

bool OpenFolder::can_remove(const std::u16string& name) const {
  // Asking for delete access is refused, with a sharing violation, while another program holds
  // the entry open without delete sharing.
  return KernelHandle{open_entry(path_ + u'\\' + name, DELETE, share_all)}.valid();
}

bool OpenFolder::inherit_permissions(const std::u16string& name) const {
  if (!file_change_permitted(FileChange::set_permissions, handle_, name)) return false;
  const KernelHandle entry{open_entry(path_ + u'\\' + name, READ_CONTROL | WRITE_DAC, share_all)};
  if (!entry) return false;
  // An empty list of its own, open to what the folder passes on: the entry then has exactly the
  // access a new entry of the folder gets.
  ACL empty;
  if (!::InitializeAcl(&empty, sizeof empty, ACL_REVISION)) return false;
  const DWORD result =
      ::SetSecurityInfo(entry.get(), SE_FILE_OBJECT,
                        DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, &empty, nullptr);
  ::SetLastError(result);
  return result == ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------

File::~File() {
  close();
}

bool File::open(const std::u16string& path, Mode mode) {
  close();
  DWORD access = 0, share = 0, disposition = 0;
  switch (mode) {
    case Mode::write_exclusive:
      access = GENERIC_WRITE;
      share = 0;
      disposition = CREATE_ALWAYS;
      break;
    case Mode::read_shared:
      access = GENERIC_READ;
      share = FILE_SHARE_READ;
      disposition = OPEN_EXISTING;
      break;
  }
  if (mode == Mode::write_exclusive && !file_change_permitted(FileChange::open_for_writing, path)) {
    return false;
  }
  HANDLE file = ::CreateFileW(wide(long_path(path)), access, share, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool File::open_existing(const OpenFolder& folder, const std::u16string& name, bool for_writing) {
  close();
  if (for_writing && !file_change_permitted(FileChange::open_for_writing, folder.handle_, name)) {
    return false;
  }
  const std::u16string path = folder.path_ + u'\\' + name;
  HANDLE file =
      ::CreateFileW(wide(long_path(path)), for_writing ? GENERIC_WRITE : GENERIC_READ,
                    FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
      is_link(path)) {  // Wine shows a Unix link only at its path
    const DWORD error = ::GetLastError();
    ::CloseHandle(file);
    ::SetLastError(error == ERROR_SUCCESS ? ERROR_CANT_ACCESS_FILE : error);
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

namespace {

// True when the file open at `file` is a plain file of one name: no folder, no reparse point
// (`path` is asked too, since Wine shows a Unix link only at its path) and no second hard link.
// Otherwise the handle is closed and the last error says why.
bool is_plain_file(HANDLE file, const std::u16string& path) {
  BY_HANDLE_FILE_INFORMATION info;
  if (::GetFileInformationByHandle(file, &info) &&
      !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
      info.nNumberOfLinks == 1 && !is_link(path)) {
    return true;
  }
  const DWORD error = ::GetLastError();
  ::CloseHandle(file);
  ::SetLastError(error == ERROR_SUCCESS ? ERROR_CANT_ACCESS_FILE : error);
  return false;
}

}  // namespace

bool File::open_for_appending(const OpenFolder& folder, const std::u16string& name) {
  close();
  if (!file_change_permitted(FileChange::open_for_writing, folder.handle_, name)) return false;
  const std::u16string path = long_path(folder.path_ + u'\\' + name);
  // Opened as it is, or created where nothing is: OPEN_ALWAYS would create a file wherever a
  // dangling link there pointed. Another program creating the file in between costs a round.
  for (int round = 0; round < 2; ++round) {
    HANDLE file = ::CreateFileW(wide(path), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_NOT_FOUND) {
      file = ::CreateFileW(wide(path), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_EXISTS) continue;
    }
    if (file == INVALID_HANDLE_VALUE || !is_plain_file(file, path)) return false;
    handle_ = reinterpret_cast<std::intptr_t>(file);
    return true;
  }
  return false;
}

bool File::create_new(const OpenFolder& folder, const std::u16string& name) {
  close();
  if (!file_change_permitted(FileChange::open_for_writing, folder.handle_, name)) return false;
  HANDLE file = ::CreateFileW(wide(long_path(folder.path_ + u'\\' + name)), GENERIC_WRITE, 0,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool File::size(std::uint64_t& bytes) {
  LARGE_INTEGER length;
  if (!is_open() || !::GetFileSizeEx(native_handle(handle_), &length)) return false;
  bytes = static_cast<std::uint64_t>(length.QuadPart);
  return true;
}

bool File::write(const void* data, std::size_t length) {
  if (!is_open() || length > 0xFFFFFFFFu) return false;
  if (!file_change_permitted(FileChange::write, handle_)) return false;
  DWORD written = 0;
  return ::WriteFile(native_handle(handle_), data, static_cast<DWORD>(length), &written, nullptr) &&
         written == length;
}

bool File::read(void* data, std::size_t length) {
  if (!is_open() || length > 0xFFFFFFFFu) return false;
  DWORD got = 0;
  return ::ReadFile(native_handle(handle_), data, static_cast<DWORD>(length), &got, nullptr) &&
         got == length;
}

bool File::flush() {
  return is_open() && file_change_permitted(FileChange::flush, handle_) &&
         ::FlushFileBuffers(native_handle(handle_));
}

void File::close() {
  if (is_open()) ::CloseHandle(native_handle(handle_));
  handle_ = invalid_handle;
}

}  // namespace platform
