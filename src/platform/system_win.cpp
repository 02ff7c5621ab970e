// Windows: text conversion, the process, the environment and the clock, on the Win32 calls.
// Only this file and its `*_win.cpp` siblings include <windows.h>.

#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "platform/support_win.h"

namespace platform {

const char16_t path_separator = u'\\';
const std::u16string_view default_program_files_folder = u"C:\\Program Files";

namespace {

PauseObserver pause_observer = nullptr;

// The folder's path for the user of `token` (null: this process's user). The buffer is released
// in every case, also after a failed call.
std::u16string known_folder_for(const KnownFolderId& id, HANDLE token) {
  GUID guid;
  static_assert(sizeof guid == sizeof id);
  std::memcpy(&guid, &id, sizeof guid);
  PWSTR path = nullptr;
  std::u16string folder;
  if (SUCCEEDED(::SHGetKnownFolderPath(guid, 0, token, &path)) && path) {
    folder = reinterpret_cast<char16_t*>(path);
  }
  ::CoTaskMemFree(path);
  return folder;
}

// The token of the process that owns the desktop's shell window, opened with `access`; null when
// there is no shell window or its process or token cannot be opened. The caller closes it.
HANDLE open_shell_token(DWORD access) {
  const HWND shell = ::GetShellWindow();
  if (!shell) return nullptr;
  DWORD process_id = 0;
  ::GetWindowThreadProcessId(shell, &process_id);
  if (process_id == 0) return nullptr;
  const KernelHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
  if (!process) return nullptr;
  HANDLE token = nullptr;
  if (!::OpenProcessToken(process.get(), access, &token)) return nullptr;
  return token;
}

// The TOKEN_USER record of a token, whose SID points into the record itself; empty when it
// cannot be read.
std::vector<unsigned char> token_user(HANDLE token) {
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  if (size < sizeof(TOKEN_USER)) return {};
  std::vector<unsigned char> record(size);
  if (!::GetTokenInformation(token, TokenUser, record.data(), size, &size)) return {};
  return record;
}

PSID user_sid(std::vector<unsigned char>& record) {
  return reinterpret_cast<TOKEN_USER*>(record.data())->User.Sid;
}

// The accounts services run as: their profiles belong to no person.
bool is_service_account(PSID sid) {
  return ::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinLocalServiceSid) ||
         ::IsWellKnownSid(sid, WinNetworkServiceSid);
}

}  // namespace

std::u16string utf8_to_utf16(std::string_view text) {
  if (text.empty() || text.size() > 0x7FFFFFFF) return {};
  const int input = static_cast<int>(text.size());
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), input, nullptr, 0);
  if (length <= 0) return {};
  std::u16string out(static_cast<std::size_t>(length), u'\0');
  const int written = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), input,
                                            reinterpret_cast<wchar_t*>(out.data()), length);
  out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return out;
}

std::string utf16_to_utf8(std::u16string_view text) {
  if (text.empty() || text.size() > 0x7FFFFFFF) return {};
  const auto* input = reinterpret_cast<const wchar_t*>(text.data());
  const int count = static_cast<int>(text.size());
  const int length = ::WideCharToMultiByte(CP_UTF8, 0, input, count, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return {};
  std::string out(static_cast<std::size_t>(length), '\0');
  const int written =
      ::WideCharToMultiByte(CP_UTF8, 0, input, count, out.data(), length, nullptr, nullptr);
  out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return out;
}

std::vector<std::u16string> command_line_arguments() {
  std::vector<std::u16string> arguments;
  int count = 0;
  // The array is not released: it is read once at start and the process ends with it.
  wchar_t** list = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (!list) return arguments;
  for (int i = 0; i < count; ++i) arguments.emplace_back(reinterpret_cast<char16_t*>(list[i]));
  return arguments;
}

void remember_arguments(int, char**) {}

std::u16string environment_variable(std::u16string_view name) {
  const std::u16string key(name);
  std::u16string value(520, u'\0');
  for (;;) {
    const DWORD length = ::GetEnvironmentVariableW(
        wide(key), reinterpret_cast<wchar_t*>(value.data()), static_cast<DWORD>(value.size()));
    if (length == 0) return {};
    if (length < value.size()) {
      value.resize(length);
      return value;
    }
    value.assign(length, u'\0');  // too small: `length` counts the terminator
  }
}

void set_environment_variable_for_testing(std::u16string_view name, std::u16string_view value,
                                          bool unset) {
  const std::u16string key(name), text(value);
  ::SetEnvironmentVariableW(wide(key), unset ? nullptr : wide(text));
}

std::u16string temp_folder() {
  wchar_t buffer[261];
  const DWORD length = ::GetTempPathW(261, buffer);
  if (length == 0 || length > 260) return u"C:\\Windows\\Temp\\";
  return std::u16string(reinterpret_cast<char16_t*>(buffer), length);
}

std::u16string known_folder(const KnownFolderId& id) {
  return known_folder_for(id, nullptr);
}

DesktopUser desktop_user() {
  const KernelHandle shell_token(open_shell_token(TOKEN_QUERY));
  if (!shell_token) return DesktopUser::nobody;
  std::vector<unsigned char> shell_user = token_user(shell_token.get());
  if (shell_user.empty() || is_service_account(user_sid(shell_user))) return DesktopUser::nobody;
  HANDLE own = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &own)) return DesktopUser::nobody;
  const KernelHandle own_token(own);
  std::vector<unsigned char> own_user = token_user(own_token.get());
  if (own_user.empty()) return DesktopUser::nobody;
  return ::EqualSid(user_sid(shell_user), user_sid(own_user)) ? DesktopUser::this_user
                                                              : DesktopUser::another_user;
}

std::u16string desktop_user_known_folder(const KnownFolderId& id) {
  // SHGetKnownFolderPath acts as the token's user, which takes the right to impersonate it.
  const KernelHandle shell_token(open_shell_token(TOKEN_QUERY | TOKEN_IMPERSONATE));
  if (!shell_token) return {};
  return known_folder_for(id, shell_token.get());
}

std::uint32_t current_process_id() {
  return ::GetCurrentProcessId();
}

bool process_is_running(std::uint32_t id) {
  if (id == 0) return true;
  const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
  // A process we may not open runs all the same; only a missing id answers this.
  if (!process) return ::GetLastError() != ERROR_INVALID_PARAMETER;
  DWORD code = 0;
  const bool running = !::GetExitCodeProcess(process, &code) || code == STILL_ACTIVE;
  ::CloseHandle(process);
  return running;
}

std::uint64_t tick_count() {
  return ::GetTickCount64();
}

void pause(std::uint32_t milliseconds) {
  if (pause_observer) {
    pause_observer(milliseconds);
  } else {
    ::Sleep(milliseconds);
  }
}

void observe_pauses_for_testing(PauseObserver observer) {
  pause_observer = observer;
}

LocalTime local_time() {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

bool running_process_names(std::vector<std::u16string>& names) {
  const KernelHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) return false;
  DWORD own_session = 0;
  if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &own_session)) return false;
  names.clear();
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    // A process whose session cannot be read has ended since the snapshot, or is one of the
    // system's protected processes: neither is a Premiere Pro of this session.
    DWORD session = 0;
    if (!::ProcessIdToSessionId(entry.th32ProcessID, &session) || session != own_session) continue;
    names.emplace_back(reinterpret_cast<char16_t*>(entry.szExeFile));
  }
  return true;
}

MachineLock::~MachineLock() {
  release();
}

MachineLock::Result MachineLock::take(std::u16string_view name, const std::u16string&) {
  release();
  // Every administrator and SYSTEM may open it, whoever made it; nobody else.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:P(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1, &descriptor, nullptr)) {
    return Result::failed;
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  const std::u16string global = u"Global\\" + std::u16string(name);
  const HANDLE mutex = ::CreateMutexW(&attributes, FALSE, wide(global));
  const DWORD created = ::GetLastError();
  ::LocalFree(descriptor);
  if (!mutex) {
    ::SetLastError(created);
    // Made by a run of an account its access list turns away: that run holds it.
    return created == ERROR_ACCESS_DENIED ? Result::held_elsewhere : Result::failed;
  }
  switch (::WaitForSingleObject(mutex, 0)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // its holder was killed: the lock is ours now
      handle_ = reinterpret_cast<std::intptr_t>(mutex);
      return Result::taken;
    case WAIT_TIMEOUT:
      ::CloseHandle(mutex);
      return Result::held_elsewhere;
    default: {
      const DWORD error = ::GetLastError();
      ::CloseHandle(mutex);
      ::SetLastError(error);
      return Result::failed;
    }
  }
}

void MachineLock::release() {
  if (handle_ == -1) return;
  const HANDLE mutex = reinterpret_cast<HANDLE>(handle_);
  ::ReleaseMutex(mutex);
  ::CloseHandle(mutex);
  handle_ = -1;
}

}  // namespace platform
