// Windows: the task dialog, the program icon and the worker thread, on comctl32 version 6 (the
// manifest selects it) and the Win32 thread calls. Only this file knows TASKDIALOGCONFIG.

#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <commctrl.h>
#include <objbase.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "platform/dialog.h"
#include "platform/support_win.h"

namespace platform {

namespace {

using TaskDialogIndirectCall = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);
using LoadIconWithScaleDownCall = HRESULT(WINAPI*)(HINSTANCE, PCWSTR, int, int, HICON*);
using InitCommonControlsExCall = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);

// The functions of comctl32 are looked up (TaskDialogIndirect and LoadIconWithScaleDown by
// ordinal) in the comctl32 the activation context gives us: with the manifest that is version 6,
// the only one that has those two. comctl32 is no KnownDLL, so the program does not import it:
// loaded here, after the entry has restricted the search to System32, neither it nor the DLLs it
// loads in turn (uxtheme and others) can come from the program's folder. The side-by-side
// redirection to version 6 comes before any search. The module stays loaded.
template <typename Call>
Call common_controls_function(const char* name) {
  static const HMODULE module = ::LoadLibraryW(L"comctl32.dll");
  Call function = nullptr;
  find_function(module, name, function);
  return function;
}

HRESULT CALLBACK native_callback(HWND window, UINT notification, WPARAM wparam, LPARAM lparam,
                                 LONG_PTR data);

// The native record of one page number. The dialog may read a record for as long as its page is
// shown, so records live as long as the process; a record is rewritten only while its page is
// not on screen (the Failure page's by the worker, before it navigates there).
struct NativePage {
  static constexpr std::uint32_t button_limit = 4;
  TASKDIALOGCONFIG config;
  TASKDIALOG_BUTTON buttons[button_limit];
  const DialogPage* page;
};

constexpr std::intptr_t page_limit = 4;
NativePage native_pages[page_limit];

NativePage* native_page(const DialogPage& page) {
  if (page.callback_data < 0 || page.callback_data >= page_limit) return nullptr;
  NativePage& native = native_pages[page.callback_data];
  native.page = &page;
  TASKDIALOGCONFIG& config = native.config;
  config = TASKDIALOGCONFIG{};
  config.cbSize = sizeof config;
  config.hInstance = ::GetModuleHandleW(nullptr);
  config.dwFlags = page.flags;
  config.pszWindowTitle = wide(page.title);
  config.pszMainIcon = page.main_icon ? MAKEINTRESOURCEW(page.main_icon) : nullptr;
  config.pszMainInstruction = wide(page.heading);
  config.pszContent = wide(page.detail);
  const std::uint32_t count = std::min(page.button_count, NativePage::button_limit);
  for (std::uint32_t i = 0; i < count; ++i) {
    native.buttons[i] = {page.buttons[i].id, wide(page.buttons[i].text)};
  }
  config.pButtons = count ? native.buttons : nullptr;
  config.cButtons = count;
  config.nDefaultButton = page.default_button;
  config.dwCommonButtons = page.common_buttons;
  config.pfCallback = native_callback;
  config.lpCallbackData = reinterpret_cast<LONG_PTR>(&native);
  config.cxWidth = page.width;
  return &native;
}

// The shown task dialog. Its window handle is set by the first notification, on the window's
// thread, before any worker can exist.
class TaskDialogWindow : public DialogWindow {
 public:
  void attach(HWND window) { window_.store(window); }

  void set_heading(std::u16string_view heading) override {
    set_element_text(TDE_MAIN_INSTRUCTION, heading);
  }
  void set_detail(std::u16string_view detail) override { set_element_text(TDE_CONTENT, detail); }
  void set_progress(int position) override {
    ::SendMessageW(window_, TDM_SET_PROGRESS_BAR_POS, static_cast<WPARAM>(position), 0);
  }
  void navigate(const DialogPage& page) override {
    if (NativePage* native = native_page(page)) {
      ::SendMessageW(window_, TDM_NAVIGATE_PAGE, 0, reinterpret_cast<LPARAM>(&native->config));
    }
  }
  void set_icon(bool big, void* icon) override {
    ::SendMessageW(window_, WM_SETICON, big ? ICON_BIG : ICON_SMALL,
                   reinterpret_cast<LPARAM>(icon));
  }

 private:
  void set_element_text(TASKDIALOG_ELEMENTS element, std::u16string_view text) {
    // The dialog wants a terminated string; this copy lives until the send has returned.
    const std::u16string terminated(text);
    ::SendMessageW(window_, TDM_SET_ELEMENT_TEXT, element,
                   reinterpret_cast<LPARAM>(terminated.c_str()));
  }

  // Set on the window's thread, read by the worker; a closed window makes every send fail
  // quietly.
  std::atomic<HWND> window_{nullptr};
};

// Never destroyed: a worker may still send to it while the process ends.
TaskDialogWindow the_window;

HRESULT CALLBACK native_callback(HWND window, UINT notification, WPARAM wparam, LPARAM lparam,
                                 LONG_PTR data) {
  const auto* native = reinterpret_cast<const NativePage*>(data);
  if (!native || !native->page->callback) return S_OK;
  the_window.attach(window);
  return native->page->callback(&the_window, notification, wparam, lparam,
                                native->page->callback_data);
}

struct ThreadStart {
  std::uint32_t (*entry)(void*);
  void* parameter;
};

DWORD WINAPI thread_main(void* start) {
  const ThreadStart what = *static_cast<ThreadStart*>(start);
  delete static_cast<ThreadStart*>(start);
  return what.entry(what.parameter);
}

}  // namespace

bool prepare_user_interface() {
  ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  INITCOMMONCONTROLSEX classes{sizeof classes, ICC_STANDARD_CLASSES};
  if (const auto initialise =
          common_controls_function<InitCommonControlsExCall>("InitCommonControlsEx")) {
    initialise(&classes);
  }
  return true;
}

void* load_program_icon(bool large) {
  const auto load = common_controls_function<LoadIconWithScaleDownCall>(MAKEINTRESOURCEA(381));
  if (!load) return nullptr;
  const int width = ::GetSystemMetrics(large ? SM_CXICON : SM_CXSMICON);
  const int height = ::GetSystemMetrics(large ? SM_CYICON : SM_CYSMICON);
  HICON icon = nullptr;
  if (FAILED(load(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(program_icon_resource), width,
                  height, &icon))) {
    return nullptr;
  }
  return icon;
}

bool start_thread(std::uint32_t (*entry)(void* parameter), void* parameter) {
  auto* start = new ThreadStart{entry, parameter};
  HANDLE thread = ::CreateThread(nullptr, 0, thread_main, start, 0, nullptr);
  if (!thread) {
    delete start;
    return false;
  }
  ::CloseHandle(thread);  // the thread is never waited for
  return true;
}

bool show_task_dialog(const DialogPage& first_page) {
  const auto show = common_controls_function<TaskDialogIndirectCall>(MAKEINTRESOURCEA(345));
  NativePage* native = native_page(first_page);
  if (!show || !native) return false;
  return SUCCEEDED(show(&native->config, nullptr, nullptr, nullptr));
}

void end_process(int exit_code) {
  ::ExitProcess(static_cast<UINT>(exit_code));
}

}  // namespace platform
