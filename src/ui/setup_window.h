#pragma once

// The Setup window: one task dialog that moves through four pages (Welcome, Progress,
// Installed, Failure). Each visit of the Progress page starts one worker thread that performs
// an install run and then moves the window to the Installed or the Failure page; Try again on
// the Failure page starts a new run. The window computes nothing itself.

#include <functional>
#include <string>

#include "platform/dialog.h"
#include "ui/progress.h"

// The pages, numbered as their records' callback data.
enum class SetupPage : int { welcome = 0, progress = 1, installed = 2, failure = 3 };

inline constexpr int install_button = 100;
inline constexpr int try_again_button = 101;

// What the worker runs: `install_run` with the run's settings in the program, a stand-in in
// tests. It returns normally on success and throws (Failure, or any standard exception) on
// failure.
using InstallOperation = std::function<void(WindowReference window)>;

// Fills the four page records, shows the window on the Welcome page through `show` and returns
// when the window has closed; false when it could not be shown at all. `large_icon` (may be
// null) is the window's large icon; every page shows the program's icon resource. Each worker
// performs `run`: one install run reporting to the window, then the navigation to the Installed or
// the Failure page. Failures are logged as "Failed: " + message and shown with the log's path.
bool show_setup_window(void* large_icon, InstallOperation run,
                       platform::ShowDialog show = platform::show_task_dialog);

// Test seams. The page records and the failure text, process-wide and alive until the process
// ends; the settings every page shares (flags, title, main icon, heading, detail (null for
// none), callback, callback data = `number`, width), filled into a cleared `page`; and the
// callback every page has.
const platform::DialogPage& setup_page_for_testing(SetupPage page);
const std::u16string& failure_text_for_testing();
void page_setup_for_testing(platform::DialogPage& page, int number, const char16_t* heading,
                            const char16_t* detail);
platform::DialogCallback page_callback_for_testing();
