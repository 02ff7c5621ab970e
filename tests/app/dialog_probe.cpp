// Test helper for the Windows build, run under the same Wine as the program: prints what the
// "Corvalis Setup" window shows, one line per visible control ("<class>: <text>", UTF-8), and the
// progress bar's position as "progress: N". Exit code 1 while there is no such window.
// With "close", it asks the window to close as the title bar's close button would.

#include <windows.h>
// windows.h first.
#include <commctrl.h>

#include <cstdio>
#include <string>

namespace {

std::string utf8(const wchar_t* text) {
  const int length = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return {};
  std::string out(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), length, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(length - 1));
  return out;
}

BOOL CALLBACK print_control(HWND control, LPARAM) {
  if (!::IsWindowVisible(control)) return TRUE;
  wchar_t name[64] = {};
  ::GetClassNameW(control, name, 64);
  if (::lstrcmpiW(name, PROGRESS_CLASSW) == 0) {
    std::printf("progress: %d\n", static_cast<int>(::SendMessageW(control, PBM_GETPOS, 0, 0)));
    return TRUE;
  }
  std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(control)) + 1, L'\0');
  ::GetWindowTextW(control, text.data(), static_cast<int>(text.size()));
  const std::string shown = utf8(text.c_str());
  if (!shown.empty()) std::printf("%s: %s\n", utf8(name).c_str(), shown.c_str());
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  HWND window = ::FindWindowW(nullptr, L"Corvalis Setup");
  if (!window) return 1;
  if (argc > 1 && std::string(argv[1]) == "close") {
    ::PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    return 0;
  }
  ::EnumChildWindows(window, print_control, 0);
  return 0;
}
