#pragma once

// The platform layer's user-interface services: the task dialog that shows the Setup window,
// the program icon, the worker thread and the preparation of window mode. Windows uses the
// common controls library (version 6, which the manifest selects); POSIX draws the dialog in
// the terminal. Kept apart from the other services because only the Setup window and the entry
// need it.
//
// The dialog is described here as its host sees it: a page record shaped like the platform's
// TASKDIALOGCONFIG, the notifications the dialog delivers, and the messages that can be sent to
// it. The Setup window's page logic drives the real task dialog on Windows, the terminal
// stand-in on POSIX and the scripted dialog of the tests through it; the flag, notification and
// element values are Windows' own.

#include <cstdint>
#include <string_view>

namespace platform {

// TASKDIALOG_FLAGS
inline constexpr std::uint32_t dialog_allow_cancellation = 0x0008;  // TDF_ALLOW_DIALOG_CANCELLATION
inline constexpr std::uint32_t dialog_show_progress_bar = 0x0200;   // TDF_SHOW_PROGRESS_BAR

// TASKDIALOG_COMMON_BUTTON_FLAGS, and the identifiers those buttons report when pressed.
inline constexpr std::uint32_t dialog_cancel_button = 0x0008;  // TDCBF_CANCEL_BUTTON
inline constexpr std::uint32_t dialog_close_button = 0x0020;   // TDCBF_CLOSE_BUTTON
inline constexpr int dialog_cancel_id = 2;                     // IDCANCEL
inline constexpr int dialog_close_id = 8;                      // IDCLOSE

// TASKDIALOG_NOTIFICATIONS
inline constexpr unsigned dialog_created = 0;         // TDN_CREATED: the first page is on screen
inline constexpr unsigned dialog_navigated = 1;       // TDN_NAVIGATED: another page is on screen
inline constexpr unsigned dialog_button_clicked = 2;  // TDN_BUTTON_CLICKED: wparam = identifier

class DialogWindow;

// The page's callback. Answers 0 (S_OK); for a button click, 1 (S_FALSE) keeps the window
// open and 0 lets the button close it. `data` is the page's `callback_data`.
using DialogCallback = int (*)(DialogWindow* window, unsigned notification, std::uintptr_t wparam,
                               std::intptr_t lparam, std::intptr_t data);

struct DialogButton {
  int id = 0;
  const char16_t* text = nullptr;
};

// One page. The dialog reads the record and the texts it points to while the page is shown, so
// all of them must outlive the window. The Windows dialog adds the program's own module as the
// instance and keeps one native record per `callback_data`, which must be 0 to 3.
struct DialogPage {
  std::uint32_t flags = 0;
  const char16_t* title = nullptr;
  // The resource id of an icon of the program's own module (pszMainIcon), 0 for none: the
  // dialog loads it at the size the monitor's DPI asks for, again when that changes.
  std::uint16_t main_icon = 0;
  const char16_t* heading = nullptr;  // the main instruction
  const char16_t* detail = nullptr;   // the content; null for none
  const DialogButton* buttons = nullptr;
  std::uint32_t button_count = 0;
  int default_button = 0;
  std::uint32_t common_buttons = 0;
  DialogCallback callback = nullptr;
  std::intptr_t callback_data = 0;
  std::uint32_t width = 0;  // dialog units
};

// The shown dialog. Every call may come from any thread and is synchronous, like SendMessageW:
// it returns once the window thread has applied it, so the text may live on the caller's stack.
// Calls made after the window has closed do nothing.
class DialogWindow {
 public:
  virtual ~DialogWindow() = default;
  // TDM_SET_ELEMENT_TEXT with TDE_MAIN_INSTRUCTION.
  virtual void set_heading(std::u16string_view heading) = 0;
  // TDM_SET_ELEMENT_TEXT with TDE_CONTENT.
  virtual void set_detail(std::u16string_view detail) = 0;
  // TDM_SET_PROGRESS_BAR_POS: the bar, 0 to 100.
  virtual void set_progress(int position) = 0;
  // TDM_NAVIGATE_PAGE: shows `page` (texts, buttons, bar at 0), then notifies its callback with
  // `dialog_navigated`. The record must stay valid while the page is shown.
  virtual void navigate(const DialogPage& page) = 0;
  // WM_SETICON with ICON_BIG (`big`) or ICON_SMALL.
  virtual void set_icon(bool big, void* icon) = 0;
};

// Shows a dialog on its first page and returns when it has closed (TaskDialogIndirect); false
// when the dialog could not be shown at all.
using ShowDialog = bool (*)(const DialogPage& first_page);

// Prepares the calling thread for window mode. Windows: CoInitializeEx (single-threaded
// apartment) and InitCommonControlsEx (ICC_STANDARD_CLASSES); always true. POSIX: the terminal
// dialog needs standard input to be a terminal; false when it is not (the caller says so).
bool prepare_user_interface();

// The program's icon: its resource id, for pages' main icon.
inline constexpr std::uint16_t program_icon_resource = 1;

// The program's icon resource at the system's large or small icon size (GetSystemMetrics,
// then LoadIconWithScaleDown, comctl32 ordinal 381, from the program's own module). Null when
// it cannot be loaded, and always on POSIX.
void* load_program_icon(bool large);

// Starts `entry(parameter)` on a new thread with default security and stack size and lets it
// go: nobody waits for it or joins it (CreateThread, then CloseHandle at once). False when the
// thread could not be created.
bool start_thread(std::uint32_t (*entry)(void* parameter), void* parameter);

// Shows the dialog on `first_page` and returns when it has closed (TaskDialogIndirect, comctl32
// ordinal 345). The first page's callback gets `dialog_created` once it is on screen. False when
// the dialog could not be shown (no TaskDialogIndirect, or it failed).
bool show_task_dialog(const DialogPage& first_page);

// Ends the process at once with `exit_code`, without static destructors or exit handlers
// (ExitProcess; POSIX _exit). Window mode ends this way because a worker may still be in the
// middle of an install run, using objects that ordinary exit would destroy under it.
[[noreturn]] void end_process(int exit_code);

}  // namespace platform
