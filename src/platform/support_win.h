#pragma once

// What the Windows implementations of the platform layer share: the view of UTF-16 text as
// wchar_t, and the one owner of Windows handles. Included only by `*_win.cpp` files, after
// <windows.h>.

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
