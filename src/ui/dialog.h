#pragma once

// The task dialog as the Setup window's logic sees it: a page record shaped like the platform's
// TASKDIALOGCONFIG, the notifications the dialog delivers, and the messages that can be sent to
// it. The same logic drives the real task dialog on Windows, the terminal stand-in on POSIX and
// the scripted dialog of the tests; the flag, notification and element values are Windows' own.

#include <cstdint>
#include <string_view>

#include "ui/progress.h"

// TASKDIALOG_FLAGS
inline constexpr std::uint32_t dialog_use_icon_handle = 0x0002;     // TDF_USE_HICON_MAIN
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
  void* main_icon = nullptr;          // an icon handle (HICON); may be null
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

// The shown dialog. The SetupWindow calls are TDM_SET_ELEMENT_TEXT (main instruction, content)
// and TDM_SET_PROGRESS_BAR_POS. Every call may come from any thread and is synchronous, like
// SendMessageW: it returns once the window thread has applied it. Calls made after the window
// has closed do nothing.
class DialogWindow : public SetupWindow {
 public:
  // TDM_NAVIGATE_PAGE: shows `page` (texts, buttons, bar at 0), then notifies its callback with
  // `dialog_navigated`. The record must stay valid while the page is shown.
  virtual void navigate(const DialogPage& page) = 0;
  // WM_SETICON with ICON_BIG (`big`) or ICON_SMALL.
  virtual void set_icon(bool big, void* icon) = 0;
};

// Shows a dialog on its first page and returns when it has closed (TaskDialogIndirect); false
// when the dialog could not be shown at all.
using ShowDialog = bool (*)(const DialogPage& first_page);
