#pragma once

// What the Windows implementations of the platform layer share: the view of UTF-16 text as
// wchar_t, the form of paths the file calls take, DLLs loaded from System32 only, and the one
// owner of Windows handles. Included only by `*_win.cpp` files, after <windows.h>.

#include <windows.h>

#include <string>

namespace platform {

// UTF-16 text as the wide-character calls take it (wchar_t is UTF-16 on Windows).
inline const wchar_t* wide(const char16_t* text) {
  return reinterpret_cast<const wchar_t*>(text);
}
inline const wchar_t* wide(const std::u16string& text) {
  return wide(text.c_str());
}

// An absolute path in the form that is not held to MAX_PATH: C:\x becomes \\?\C:\x, and the
// UNC path \\server\share\x becomes \\?\UNC\server\share\x, with forward slashes turned into
// backslashes (the prefixed form takes no other separator). The prefix also stops Windows from
// trimming trailing dots and spaces and from resolving "." and "..": the file layer's paths are
// already absolute and hold neither. A path that already has a prefix (\\?\, or a device's
// \\.\) and a relative one are left as they are.
inline std::u16string long_path(const std::u16string& path) {
  const auto separator = [](char16_t c) { return c == u'\\' || c == u'/'; };
  std::u16string converted = path;
  for (char16_t& c : converted) {
    if (c == u'/') c = u'\\';
  }
  if (converted.starts_with(u"\\\\?\\") || converted.starts_with(u"\\\\.\\")) return path;
  const bool drive = path.size() >= 3 && path[1] == u':' && separator(path[2]) &&
                     ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z'));
  if (drive) return u"\\\\?\\" + converted;
  if (converted.starts_with(u"\\\\")) return u"\\\\?\\UNC\\" + converted.substr(2);
  return path;
}

// A DLL of Windows, loaded from System32 and nowhere else (never from the program's folder,
// where anyone can drop a DLL of the same name into Downloads), its own dependencies too. Null
// when it cannot be loaded. The DLL stays loaded until the process ends.
inline HMODULE load_system_library(const wchar_t* name) {
  return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// Sets `function` to the export `name` of `library`; false (and null) when there is none.
template <typename Function>
bool find_function(HMODULE library, const char* name, Function*& function) {
  const FARPROC address = library ? ::GetProcAddress(library, name) : nullptr;
  // Through the generic function pointer type, which converts to any other without a warning.
  function = reinterpret_cast<Function*>(reinterpret_cast<void (*)()>(address));
  return function != nullptr;
}

// Owns one handle and closes it on every way out. `Traits` says what the handle is: its type
// (`Handle`), the values that mean none (`is_valid`) and how it is closed (`close`).
template <typename Traits>
class ScopedHandle {
 public:
  using Handle = typename Traits::Handle;

  explicit ScopedHandle(Handle handle) : handle_(handle) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() {
    if (valid()) Traits::close(handle_);
  }

  bool valid() const { return Traits::is_valid(handle_); }
  explicit operator bool() const { return valid(); }
  Handle get() const { return handle_; }

 private:
  Handle handle_;
};

// Kernel objects (files, snapshots, threads): CloseHandle. Some calls answer
// INVALID_HANDLE_VALUE for none, others null; neither is closed.
struct KernelHandleTraits {
  using Handle = HANDLE;
  static bool is_valid(Handle handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
  }
  static void close(Handle handle) { ::CloseHandle(handle); }
};
using KernelHandle = ScopedHandle<KernelHandleTraits>;

}  // namespace platform
