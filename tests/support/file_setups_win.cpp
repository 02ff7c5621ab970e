// Win32 set-ups for the file tests. Where Wine stands in for Windows and cannot make a set-up,
// the reason names Wine and its version.

#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/file_setups.h"

namespace {

const wchar_t* wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

// "Wine 8.0" when running under Wine, empty on Windows.
std::string wine_version() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  if (!ntdll) return {};
  using Version = const char* (*)();
  const auto version = reinterpret_cast<Version>(
      reinterpret_cast<void*>(::GetProcAddress(ntdll, "wine_get_version")));
  return version ? std::string("Wine ") + version() : std::string();
}

std::string failed(const char* what, DWORD error) {
  std::string text = std::string(what) + " failed with error " + std::to_string(error);
  const std::string wine = wine_version();
  if (!wine.empty()) text += " under " + wine;
  return text;
}

bool is_reparse_point(const std::u16string& path) {
  const DWORD attributes = ::GetFileAttributesW(wide(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The mount-point form of a reparse buffer (REPARSE_DATA_BUFFER is in the driver headers only).
struct MountPointBuffer {
  DWORD tag;
  WORD data_length;
  WORD reserved;
  WORD substitute_offset, substitute_length, print_offset, print_length;
  WCHAR names[1];
};

std::string make_junction(const std::u16string& link, const std::u16string& target) {
  if (!::CreateDirectoryW(wide(link), nullptr)) return failed("CreateDirectoryW", ::GetLastError());
  const HANDLE folder =
      ::CreateFileW(wide(link), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (folder == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    ::RemoveDirectoryW(wide(link));
    return failed("Opening the junction folder", error);
  }
  const std::u16string substitute = u"\\??\\" + target;
  const WORD substitute_bytes = static_cast<WORD>(substitute.size() * 2);
  const WORD print_bytes = static_cast<WORD>(target.size() * 2);
  std::vector<char> storage(sizeof(MountPointBuffer) + substitute_bytes + print_bytes + 8);
  auto* buffer = reinterpret_cast<MountPointBuffer*>(storage.data());
  buffer->tag = IO_REPARSE_TAG_MOUNT_POINT;
  buffer->substitute_offset = 0;
  buffer->substitute_length = substitute_bytes;
  buffer->print_offset = static_cast<WORD>(substitute_bytes + 2);
  buffer->print_length = print_bytes;
  char* names = reinterpret_cast<char*>(buffer->names);
  std::memcpy(names, substitute.data(), substitute_bytes);
  std::memcpy(names + substitute_bytes + 2, target.data(), print_bytes);
  buffer->data_length = static_cast<WORD>(8 + substitute_bytes + 2 + print_bytes + 2);
  DWORD returned = 0;
  const BOOL set = ::DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, buffer,
                                     buffer->data_length + 8u, nullptr, 0, &returned, nullptr);
  const DWORD error = ::GetLastError();
  ::CloseHandle(folder);
  if (set && is_reparse_point(link)) return {};
  ::RemoveDirectoryW(wide(link));
  return set ? "FSCTL_SET_REPARSE_POINT reported success but left no reparse point"
             : failed("FSCTL_SET_REPARSE_POINT", error);
}

std::string make_symbolic_link(const std::u16string& link, const std::u16string& target,
                               DWORD flags) {
  // Unprivileged creation needs developer mode; an elevated run needs nothing.
  const BOOLEAN made = ::CreateSymbolicLinkW(wide(link), wide(target),
                                             flags | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
  if (!made) return failed("CreateSymbolicLinkW", ::GetLastError());
  if (is_reparse_point(link)) return {};
  std::string text = "CreateSymbolicLinkW reported success but made no link";
  const std::string wine = wine_version();
  if (!wine.empty()) text += " (" + wine + " does not implement it)";
  return text;
}

// Runs a Unix program from a Windows one: Wine starts Unix executables as they are.
bool run_unix_program(const std::string& command_line) {
  const std::string program = command_line.substr(0, command_line.find(' '));
  std::wstring command(command_line.begin(), command_line.end());
  const std::wstring wide_program(program.begin(), program.end());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(wide_program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
    return false;
  }
  // Wine does not track a Unix child: its handle neither waits for it nor holds its exit code.
  // The caller watches for the result instead.
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return true;
}

// Waits up to five seconds for a Unix program's work to show.
template <typename Done>
bool await(Done done) {
  for (int tries = 0; tries < 250; ++tries) {
    if (done()) return true;
    ::Sleep(20);
  }
  return false;
}

// The Unix path of a Windows path under Wine (its folder must exist), empty elsewhere.
std::string unix_path(const std::u16string& path) {
  using UnixName = char*(CDECL*)(LPCWSTR);
  const auto unix_name = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (!unix_name) return {};
  char* name = unix_name(wide(path));
  if (!name) return {};
  std::string result = name;
  ::HeapFree(::GetProcessHeap(), 0, name);
  return result;
}

}  // namespace

HeldFile::HeldFile(const std::u16string& path, Hold hold) {
  if (hold == Hold::running_program) {
    why_ =
        "Windows refuses writes to a running program's file as to any open one; the sharing "
        "holds stand for it.";
    return;
  }
  DWORD access = GENERIC_READ, share = 0;
  switch (hold) {
    case Hold::exclusive:
      break;
    case Hold::read_without_delete_sharing:
      share = FILE_SHARE_READ;
      break;
    case Hold::running_program:
      break;
    case Hold::loaded_image:
      // The loader opens a module shared for deletion and keeps only the image section; the
      // section is what makes Windows refuse the deletion while allowing a rename.
      access |= GENERIC_EXECUTE;
      share = FILE_SHARE_READ | FILE_SHARE_DELETE;
      break;
  }
  const HANDLE file = ::CreateFileW(wide(path), access, share, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    why_ = failed("CreateFileW", ::GetLastError());
    return;
  }
  if (hold != Hold::loaded_image) {
    handles_[0] = reinterpret_cast<std::intptr_t>(file);
    held_ = true;
    return;
  }
  const HANDLE section =
      ::CreateFileMappingW(file, nullptr, PAGE_READONLY | SEC_IMAGE, 0, 0, nullptr);
  const DWORD error = ::GetLastError();
  ::CloseHandle(file);
  if (!section) {
    why_ = failed("CreateFileMappingW with SEC_IMAGE", error);
    return;
  }
  handles_[1] = reinterpret_cast<std::intptr_t>(section);
  view_ = ::MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0);
  if (!view_) {
    why_ = failed("MapViewOfFile", ::GetLastError());
    release();
    return;
  }
  held_ = true;
}

HeldFile::~HeldFile() {
  release();
}

void HeldFile::release() {
  if (view_) ::UnmapViewOfFile(view_);
  view_ = nullptr;
  for (std::intptr_t& handle : handles_) {
    if (handle != -1) ::CloseHandle(reinterpret_cast<HANDLE>(handle));
    handle = -1;
  }
  held_ = false;
}

FolderLink make_folder_link(const std::u16string& link, const std::u16string& target) {
  FolderLink made;
  const std::string junction = make_junction(link, target);
  const std::string symbolic =
      junction.empty() ? "" : make_symbolic_link(link, target, SYMBOLIC_LINK_FLAG_DIRECTORY);
  if (junction.empty() || symbolic.empty()) {
    made.made = true;
    return made;
  }
  made.why =
      "a junction could not be made (" + junction + ") nor a symbolic link (" + symbolic + ")";
  const std::string wine = wine_version();
  if (wine.empty()) return made;

  // Wine shows a Unix symbolic link to a folder as a reparse-point folder, the thing the
  // installer must not enter: as close to a junction as Wine comes. Wine splits the command
  // line the Windows way, so names are in double quotes; sandbox paths hold none.
  const std::size_t last = link.find_last_of(u'\\');
  const std::string unix_target = unix_path(target);
  const std::string unix_folder = unix_path(link.substr(0, last));
  std::string unix_link = unix_folder + "/";
  for (const char16_t unit : link.substr(last + 1)) unix_link += static_cast<char>(unit);
  if (unix_target.empty() || unix_folder.empty() ||
      !run_unix_program("/bin/ln -s \"" + unix_target + "\" \"" + unix_link + "\"") ||
      !await([&] { return is_reparse_point(link); })) {
    made.why += ", and no Unix symbolic link stood in";
    return made;
  }
  made.made = true;
  made.removable = false;
  made.why = wine +
             " cannot make junctions; a Unix symbolic link stands in, which it shows as a "
             "reparse-point folder but cannot remove with RemoveDirectoryW";
  return made;
}

void remove_link(const std::u16string& link) {
  if (::RemoveDirectoryW(wide(link)) || ::DeleteFileW(wide(link))) return;
  const std::string unix_link = unix_path(link);
  if (!unix_link.empty() && run_unix_program("/bin/rm -f \"" + unix_link + "\"")) {
    await([&] { return ::GetFileAttributesW(wide(link)) == INVALID_FILE_ATTRIBUTES; });
  }
}

std::string make_file_link(const std::u16string& link, const std::u16string& target) {
  return make_symbolic_link(link, target, 0);
}

bool make_read_only(const std::u16string& path) {
  return ::SetFileAttributesW(wide(path), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                              FILE_ATTRIBUTE_SYSTEM) != 0;
}

bool is_read_only(const std::u16string& path) {
  const DWORD attributes = ::GetFileAttributesW(wide(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

std::string read_only_folders_are_enforced(const std::u16string& folder) {
  const std::u16string probe = folder + u"\\probe";
  const HANDLE file = ::CreateFileW(wide(probe), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  ::CloseHandle(file);
  ::DeleteFileW(wide(probe));
  return "Windows lets entries be made in a folder marked read-only";
}

bool make_file_of_size(const std::u16string& path, std::uint64_t bytes) {
  const HANDLE file = ::CreateFileW(wide(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(bytes);
  const bool sized = ::SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && ::SetEndOfFile(file);
  ::CloseHandle(file);
  return sized;
}

std::string copy_program_image(const std::u16string& path) {
  wchar_t program[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, program, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return failed("GetModuleFileNameW", ::GetLastError());
  if (!::CopyFileW(program, wide(path), FALSE)) return failed("CopyFileW", ::GetLastError());
  return {};
}

FileSizeLimit::FileSizeLimit(std::uint64_t) {
  // The limit is the one the wrapper set before Wine started; the test sizes its data from it.
  const char* announced = std::getenv("CORVALIS_TEST_FILE_SIZE_LIMIT");
  if (announced && *announced) {
    bytes_ = std::strtoull(announced, nullptr, 10);
    active_ = bytes_ > 0;
  }
  if (!active_) {
    why_ =
        "a Windows program cannot limit the size of its own files; the test entry "
        "\"FileSizeLimit/windows\" runs this test under Wine with a limit set before Wine starts";
  }
}

FileSizeLimit::~FileSizeLimit() = default;

namespace {

HANDLE open_security(const std::u16string& path, DWORD access) {
  return ::CreateFileW(wide(path), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

std::string access_list(const std::u16string& path) {
  const HANDLE file = open_security(path, READ_CONTROL);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  LPWSTR text = nullptr;
  std::string sddl;
  if (file != INVALID_HANDLE_VALUE &&
      ::GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                        nullptr, &descriptor) == ERROR_SUCCESS &&
      ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
    for (const wchar_t* c = text; *c; ++c) sddl += static_cast<char>(*c);
  }
  ::LocalFree(text);
  ::LocalFree(descriptor);
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  return sddl;
}

std::string set_access_list(const std::u16string& path, const std::string& sddl) {
  const std::wstring text(sddl.begin(), sddl.end());
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    return failed("ConvertStringSecurityDescriptorToSecurityDescriptorW", ::GetLastError());
  }
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  const HANDLE file = open_security(path, READ_CONTROL | WRITE_DAC);
  DWORD result = file == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
  if (file != INVALID_HANDLE_VALUE) {
    result = ::SetSecurityInfo(file, SE_FILE_OBJECT,
                               DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                               nullptr, nullptr, dacl, nullptr);
    ::CloseHandle(file);
  }
  ::LocalFree(descriptor);
  return result == ERROR_SUCCESS ? std::string() : failed("SetSecurityInfo", result);
}
