#pragma once

// The platform layer: every operating-system service the installer uses, and nothing else, one
// header per service (text and paths here; process.h, users.h, file_system.h, crypto.h, http.h,
// registry.h, console.h, dialog.h beside it), as LLVM's Support keeps FileSystem.h, Process.h
// and Program.h apart.
//
// The logic above these headers is ordinary C++ and knows no operating system. Each service has
// one implementation per platform in its own file (`*_win.cpp` on the real Win32 calls,
// `*_posix.cpp` as the stand-in that lets the logic run and be tested everywhere), and CMake
// picks the files. No other file includes a system header.
//
// Native paths are UTF-16 (`std::u16string`) on every platform, converted only where they meet
// the OS: reinterpreted as `wchar_t` on Windows, converted to UTF-8 on POSIX. The separator the
// installer writes is `path_separator`: a backslash on Windows, a slash on POSIX. Text that is
// not a path (documents, messages, log lines) is UTF-8 in `std::string`.
//
// Unless a function says otherwise, it never throws: failure is a `false` or an empty result.

#include <string>
#include <string_view>

namespace platform {

// The separator of native paths: u'\\' on Windows, u'/' on POSIX.
extern const char16_t path_separator;

// Where programs are installed when the environment does not say: C:\Program Files on
// Windows, /opt (the folder for add-on software packages) on POSIX.
extern const std::u16string_view default_program_files_folder;

// What the name of a program file ends in: u".exe" on Windows, nothing on POSIX.
extern const std::u16string_view program_suffix;

// Converts between UTF-8 and UTF-16 the way Windows' converters do without the strict flag:
// ill-formed input is never refused, each ill-formed part becomes U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);
std::string utf16_to_utf8(std::u16string_view text);

// Appends `code` in UTF-8: one byte below 0x80, two below 0x800, three below 0x10000, else four.
// Nothing is judged: a surrogate gets its three bytes and a code above 0x10FFFF four (up to
// 0x1FFFFF). Portable, the same on every platform.
void append_utf8(std::string& out, char32_t code);

}  // namespace platform
