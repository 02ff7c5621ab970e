// The fault seam of the Windows file functions (test builds only; see platform/file_faults.h).

#include <windows.h>

#include <string>

#include "platform/file_faults.h"
#include "platform/file_system.h"
#include "platform/support_win.h"
#include "platform/text.h"

namespace platform {

namespace {

std::uint64_t changes_seen = 0;
void (*change_hook)() = nullptr;

std::u16string variable(const wchar_t* name) {
  wchar_t value[1024];
  const DWORD length = ::GetEnvironmentVariableW(name, value, 1024);
  if (length == 0 || length >= 1024) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(value), length);
}

// Appends one line to the trace with plain Win32 calls, which the seam does not count.
void trace(const std::string& line) {
  const std::u16string file = variable(L"CORVALIS_FAULT_TRACE");
  if (file.empty()) return;
  const KernelHandle handle{::CreateFileW(wide(file), FILE_APPEND_DATA,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr)};
  if (!handle) return;
  DWORD written = 0;
  ::WriteFile(handle.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

bool permitted(FileChange change, const std::string& what) {
  const DWORD saved = ::GetLastError();
  ++changes_seen;
  trace(std::to_string(changes_seen) + " " + file_change_name(change) + " " + what + "\n");
  std::uint64_t at = 0;
  for (const char16_t digit : variable(L"CORVALIS_FAULT_AT")) {
    if (digit < u'0' || digit > u'9') break;
    at = at * 10 + (digit - u'0');
  }
  if (at != changes_seen) {
    ::SetLastError(saved);
    return true;
  }
  const std::u16string mode = variable(L"CORVALIS_FAULT_MODE");
  if (mode == u"end") ::TerminateProcess(::GetCurrentProcess(), 86);
  if (mode == u"hook") {
    if (change_hook) change_hook();
    ::SetLastError(saved);
    return true;
  }
  ::SetLastError(ERROR_DISK_FULL);  // not a hold that passes: the caller gives up at once
  return false;
}

}  // namespace

bool file_change_permitted(FileChange change, const std::u16string& path) {
  return permitted(change, utf16_to_utf8(path));
}

bool file_change_permitted(FileChange change, const std::u16string& from,
                           const std::u16string& to) {
  return permitted(change, utf16_to_utf8(from) + " -> " + utf16_to_utf8(to));
}

namespace {

std::u16string path_of(std::intptr_t handle) {
  wchar_t path[1024];
  const DWORD length = ::GetFinalPathNameByHandleW(reinterpret_cast<HANDLE>(handle), path, 1024,
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  std::u16string name;
  if (length > 0 && length < 1024) name.assign(reinterpret_cast<const char16_t*>(path), length);
  if (name.starts_with(u"\\\\?\\")) name.erase(0, 4);
  return name;
}

}  // namespace

bool file_change_permitted(FileChange change, std::intptr_t handle) {
  return permitted(change, utf16_to_utf8(path_of(handle)));
}

bool file_change_permitted(FileChange change, std::intptr_t folder, const std::u16string& name) {
  return permitted(change, utf16_to_utf8(path_of(folder) + u'\\' + name));
}

void restart_file_change_count_for_testing() {
  changes_seen = 0;
}

void set_file_change_hook_for_testing(void (*hook)()) {
  change_hook = hook;
}

}  // namespace platform
