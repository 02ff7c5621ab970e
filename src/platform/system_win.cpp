// Windows: text conversion, the process, the environment and the clock, on the Win32 calls.
// Only this file and its `*_win.cpp` siblings include <windows.h>.

#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/support_win.h"

namespace platform {

const char16_t path_separator = u'\\';
const std::u16string_view default_program_files_folder = u"C:\\Program Files";

namespace {

PauseObserver pause_observer = nullptr;

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
  names.clear();
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    names.emplace_back(reinterpret_cast<char16_t*>(entry.szExeFile));
  }
  return true;
}

}  // namespace platform
