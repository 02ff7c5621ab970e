#pragma once

// The Setup window: one task dialog that moves through four pages (Welcome, Progress,
// Installed, Failure). Each visit of the Progress page starts one worker thread that performs
// an install run and then moves the window to the Installed or the Failure page; Try again on
// the Failure page starts a new run. The window computes nothing itself.

#include <cstdint>
#include <string>

#include "platform/dialog.h"
#include "ui/dialog.h"

enum SetupPage : int { welcome_page = 0, progress_page = 1, installed_page = 2, failure_page = 3 };

inline constexpr int install_button = 100;
inline constexpr int try_again_button = 101;

// What the worker runs: `install_run` in the program, a stand-in in tests. It returns normally
// on success and throws (Failure, or any standard exception) on failure.
using InstallOperation = void (*)(WindowReference window);

// Fills the four page records, shows the window on the Welcome page through `show` and returns
// when the window has closed; false when it could not be shown at all. `large_icon` (may be
// null) is every page's main icon and the window's large icon. Each worker performs `run`.
bool show_setup_window(void* large_icon, InstallOperation run,
                       ShowDialog show = platform::show_task_dialog);

// Clears `page` and fills the settings every page shares: flags, title, main icon, heading,
// detail (null for none), callback, callback data = `number`, width.
void page_setup(DialogPage& page, int number, const char16_t* heading, const char16_t* detail);

// The dialog's callback for every page (see the .cpp for what each notification does).
int on_dialog_event(DialogWindow* window, unsigned notification, std::uintptr_t wparam,
                    std::intptr_t lparam, std::intptr_t data);

// The worker thread: one install run through `window` (a DialogWindow*), then the navigation to
// the Installed or the Failure page. Failures are logged as "Failed: " + message and shown with
// the log's path. Returns 0.
std::uint32_t run_worker(void* window);

// The page records and the failure text, process-wide and alive until the process ends.
const DialogPage& setup_page(SetupPage page);
const std::u16string& failure_text();
