// Windows: text conversion, the process, the environment and the clock, on the Win32 calls.
// Only this file and its `*_win.cpp` siblings include <windows.h>.

#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>
#include <wtsapi32.h>

#include <cstring>
#include <utility>
#include <vector>

#include "platform/process.h"
#include "platform/support_win.h"
#include "platform/text.h"
#include "platform/users.h"

namespace platform {

const char16_t path_separator = u'\\';
const std::u16string_view program_suffix = u".exe";
const std::u16string_view default_program_files_folder = u"C:\\Program Files";

namespace {

PauseObserver pause_observer = nullptr;

CallOutcome outcome(const char* call, std::string subject, DWORD error) {
  return {call, std::move(subject), error == ERROR_SUCCESS, error};
}

// The error of the call that just failed; a failure that set none still counts as one.
DWORD failure_code() {
  const DWORD error = ::GetLastError();
  return error == ERROR_SUCCESS ? ERROR_GEN_FAILURE : error;
}

// The string form of a SID ("S-1-5-21-..."); false, with the last error set, when it cannot be
// made.
bool sid_text(PSID sid, std::u16string& text) {
  LPWSTR converted = nullptr;
  if (!::ConvertSidToStringSidW(sid, &converted)) return false;
  text = reinterpret_cast<char16_t*>(converted);
  ::LocalFree(converted);
  return true;
}

// The calls of wtsapi32, loaded from System32 on first use: it is not one of the KnownDLLs, so
// importing it would let a DLL of that name beside the program be loaded in its place.
using QuerySessionInformation = BOOL WINAPI(HANDLE, DWORD, WTS_INFO_CLASS, LPWSTR*, DWORD*);
using QueryUserToken = BOOL WINAPI(ULONG, PHANDLE);
using EnumerateSessions = BOOL WINAPI(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW*, DWORD*);
using FreeSessionMemory = void WINAPI(PVOID);
struct SessionCalls {
  QuerySessionInformation* query = nullptr;
  QueryUserToken* user_token = nullptr;
  EnumerateSessions* enumerate = nullptr;
  FreeSessionMemory* free = nullptr;
  CallOutcome loaded;
};

const SessionCalls& session_calls() {
  static const SessionCalls calls = [] {
    SessionCalls found;
    const HMODULE library = load_system_library(L"wtsapi32.dll");
    if (!library) {
      found.loaded = outcome("LoadLibraryExW", "wtsapi32.dll", failure_code());
    } else if (!find_function(library, "WTSQuerySessionInformationW", found.query) ||
               !find_function(library, "WTSQueryUserToken", found.user_token) ||
               !find_function(library, "WTSEnumerateSessionsW", found.enumerate) ||
               !find_function(library, "WTSFreeMemory", found.free)) {
      found.loaded = outcome("GetProcAddress", "wtsapi32.dll", failure_code());
    } else {
      found.loaded = outcome("LoadLibraryExW", "wtsapi32.dll", ERROR_SUCCESS);
    }
    return found;
  }();
  return calls;
}

// One text of this process's session (its user name or domain); its buffer is released.
CallOutcome session_text(WTS_INFO_CLASS what, const char* name, std::u16string& text) {
  const SessionCalls& calls = session_calls();
  if (!calls.loaded.succeeded) return calls.loaded;
  LPWSTR buffer = nullptr;
  DWORD bytes = 0;
  if (!calls.query(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, what, &buffer, &bytes)) {
    return outcome("WTSQuerySessionInformationW", name, failure_code());
  }
  text = buffer ? reinterpret_cast<char16_t*>(buffer) : u"";
  calls.free(buffer);
  return outcome("WTSQuerySessionInformationW", name, ERROR_SUCCESS);
}

// The SID of the account `account` ("domain\name"), as LSA knows it.
CallOutcome account_sid(const std::u16string& account, std::u16string& sid) {
  const std::string subject = utf16_to_utf8(account);
  DWORD sid_size = 0, domain_size = 0;
  SID_NAME_USE use;
  ::LookupAccountNameW(nullptr, wide(account), nullptr, &sid_size, nullptr, &domain_size, &use);
  if (sid_size == 0) return outcome("LookupAccountNameW", subject, failure_code());
  std::vector<unsigned char> found(sid_size);
  std::vector<wchar_t> domain(domain_size + 1);
  if (!::LookupAccountNameW(nullptr, wide(account), found.data(), &sid_size, domain.data(),
                            &domain_size, &use)) {
    return outcome("LookupAccountNameW", subject, failure_code());
  }
  if (!sid_text(found.data(), sid)) {
    return outcome("ConvertSidToStringSidW", subject, failure_code());
  }
  return outcome("LookupAccountNameW", subject, ERROR_SUCCESS);
}

// The SID of a token's user; `subject` names the token in the outcome.
CallOutcome token_user_sid(HANDLE token, const std::string& subject, std::u16string& sid) {
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> record(size < sizeof(TOKEN_USER) ? sizeof(TOKEN_USER) : size);
  if (size < sizeof(TOKEN_USER) ||
      !::GetTokenInformation(token, TokenUser, record.data(), size, &size)) {
    return outcome("GetTokenInformation", subject, failure_code());
  }
  if (!sid_text(reinterpret_cast<TOKEN_USER*>(record.data())->User.Sid, sid)) {
    return outcome("ConvertSidToStringSidW", subject, failure_code());
  }
  return outcome("GetTokenInformation", subject, ERROR_SUCCESS);
}

// The SID of this process's user, from its token.
CallOutcome own_sid(std::u16string& sid) {
  HANDLE opened = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &opened)) {
    return outcome("OpenProcessToken", "this process", failure_code());
  }
  const KernelHandle token(opened);
  return token_user_sid(token.get(), "TokenUser", sid);
}

// The SID of the user signed in to `session`, empty when nobody is.
CallOutcome session_user_sid(std::uint32_t session, std::u16string& sid) {
  const SessionCalls& calls = session_calls();
  if (!calls.loaded.succeeded) return calls.loaded;
  const std::string subject = "session " + std::to_string(session);
  HANDLE opened = nullptr;
  if (!calls.user_token(session, &opened)) {
    const DWORD error = failure_code();
    // The answer for a session nobody is signed in to, such as a console at the sign-in screen.
    return outcome("WTSQueryUserToken", subject, error == ERROR_NO_TOKEN ? ERROR_SUCCESS : error);
  }
  const KernelHandle token(opened);
  return token_user_sid(token.get(), "TokenUser of " + subject, sid);
}

// One text value of the registry as it is stored (REG_SZ, or REG_EXPAND_SZ unexpanded), read
// from `root` (named `root_name`, for the outcome) at `key`.
CallOutcome registry_text(HKEY root, const char* root_name, const std::u16string& key,
                          const char16_t* value, std::u16string& text) {
  const std::string subject =
      std::string(root_name) + "\\" + utf16_to_utf8(key) + " " + utf16_to_utf8(value);
  constexpr DWORD flags = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
  LSTATUS status = ERROR_MORE_DATA;
  // A value that grows between the two calls is asked for again.
  for (int round = 0; round < 3 && status == ERROR_MORE_DATA; ++round) {
    DWORD bytes = 0;
    status = ::RegGetValueW(root, wide(key), wide(value), flags, nullptr, nullptr, &bytes);
    if (status != ERROR_SUCCESS) break;
    std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    status = ::RegGetValueW(root, wide(key), wide(value), flags, nullptr, buffer.data(), &bytes);
    if (status == ERROR_SUCCESS) text = reinterpret_cast<const char16_t*>(buffer.data());
  }
  return outcome("RegGetValueW", subject, static_cast<DWORD>(status));
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

std::u16string program_path() {
  // A path that does not fit comes back cut to the buffer's size; no path is longer than the
  // 32767 units of the long form.
  std::u16string path(MAX_PATH, u'\0');
  while (path.size() <= 0x10000) {
    const DWORD length = ::GetModuleFileNameW(nullptr, reinterpret_cast<wchar_t*>(path.data()),
                                              static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
  return {};
}

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
  // GetTempPath2W gives SYSTEM a folder of its own; where Windows lacks it, GetTempPathW, which
  // answers the same for everyone else.
  using TempPathCall = DWORD WINAPI(DWORD, LPWSTR);
  static TempPathCall* const temp_path = [] {
    TempPathCall* call = nullptr;
    return find_function(::GetModuleHandleW(L"kernel32.dll"), "GetTempPath2W", call)
               ? call
               : &::GetTempPathW;
  }();
  std::u16string folder(MAX_PATH + 1, u'\0');
  for (int round = 0; round < 3; ++round) {
    const DWORD length =
        temp_path(static_cast<DWORD>(folder.size()), reinterpret_cast<wchar_t*>(folder.data()));
    if (length == 0) return {};
    if (length < folder.size()) {
      folder.resize(length);
      return folder;
    }
    folder.assign(length + 1, u'\0');  // too small: `length` is the size it needs
  }
  return {};
}

std::u16string known_folder(const KnownFolderId& id) {
  GUID guid;
  static_assert(sizeof guid == sizeof id);
  std::memcpy(&guid, &id, sizeof guid);
  PWSTR path = nullptr;
  std::u16string folder;
  if (SUCCEEDED(::SHGetKnownFolderPath(guid, 0, nullptr, &path)) && path) {
    folder = reinterpret_cast<char16_t*>(path);
  }
  ::CoTaskMemFree(path);  // also after a failed call
  return folder;
}

CallOutcome this_process_session(std::uint32_t& session) {
  DWORD id = 0;
  if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &id)) {
    return outcome("ProcessIdToSessionId", "this process", failure_code());
  }
  session = id;
  return outcome("ProcessIdToSessionId", "this process", ERROR_SUCCESS);
}

SessionUser session_user() {
  SessionUser user;
  user.process_session = this_process_session(user.session_id);
  user.own = own_sid(user.own_sid);
  if (!user.process_session.succeeded || user.session_id == services_session) return user;
  user.session = session_text(WTSUserName, "WTSUserName", user.name);
  if (!user.session.succeeded || user.name.empty()) return user;
  user.session = session_text(WTSDomainName, "WTSDomainName", user.domain);
  if (!user.session.succeeded) return user;
  const std::u16string account = user.domain.empty() ? user.name : user.domain + u'\\' + user.name;
  user.lookup = account_sid(account, user.sid);
  return user;
}

CallOutcome active_session_ids(std::vector<std::uint32_t>& sessions) {
  const SessionCalls& calls = session_calls();
  if (!calls.loaded.succeeded) return calls.loaded;
  PWTS_SESSION_INFOW list = nullptr;
  DWORD count = 0;
  if (!calls.enumerate(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &count)) {
    return outcome("WTSEnumerateSessionsW", "this computer", failure_code());
  }
  sessions.clear();
  for (DWORD i = 0; i < count; ++i) {
    if (list[i].State == WTSActive) sessions.push_back(list[i].SessionId);
  }
  calls.free(list);
  return outcome("WTSEnumerateSessionsW", "this computer", ERROR_SUCCESS);
}

SignedInUsers signed_in_users() {
  SignedInUsers users;
  users.console_session = ::WTSGetActiveConsoleSessionId();
  if (users.console_session != no_session) {
    users.console = session_user_sid(users.console_session, users.console_sid);
    if (!users.console.succeeded || !users.console_sid.empty()) return users;
  }
  users.enumeration = active_session_ids(users.active_sessions);
  if (users.enumeration.succeeded && users.active_sessions.size() == 1) {
    users.active = session_user_sid(users.active_sessions.front(), users.active_sid);
  }
  return users;
}

UserFolderValues user_folder_values(const std::u16string& sid) {
  UserFolderValues values;
  values.profile =
      registry_text(HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE",
                    u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + sid,
                    u"ProfileImagePath", values.profile_folder);
  values.roaming = registry_text(
      HKEY_USERS, "HKEY_USERS",
      sid + u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
      u"AppData", values.roaming_folder);
  values.temp =
      registry_text(HKEY_USERS, "HKEY_USERS", sid + u"\\Environment", u"TEMP", values.temp_folder);
  return values;
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

bool running_process_names(std::vector<std::u16string>& names, std::uint32_t session) {
  const KernelHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) return false;
  names.clear();
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    // A process whose session cannot be read has ended since the snapshot, or is one of the
    // system's protected processes: neither is a Premiere Pro of that session.
    DWORD in_session = 0;
    if (!::ProcessIdToSessionId(entry.th32ProcessID, &in_session) || in_session != session) {
      continue;
    }
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
