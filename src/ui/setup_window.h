#pragma once

// The Setup window: one task dialog that moves through four pages (Welcome, Progress, Done,
// Failure), with the texts of an install or of an uninstall. Each visit of the Progress page
// starts one worker thread that performs the run and then moves the window to the Done or the
// Failure page; Try again on the Failure page starts a new run. The window computes nothing
// itself.

#include <functional>
#include <string>

#include "platform/dialog.h"
#include "ui/progress.h"

// What the window offers: an install or the removal of what installs placed. Both have the same
// four pages and behave alike; only their texts and the Welcome page's button differ.
enum class SetupMode { install, uninstall };

// The pages, numbered as their records' callback data.
enum class SetupPage : int { welcome = 0, progress = 1, done = 2, failure = 3 };

// The Welcome page's button (Install, or Remove) and the Failure page's.
inline constexpr int install_button = 100;
inline constexpr int try_again_button = 101;
inline constexpr int remove_button = 102;

// What the worker runs: `install_run` or `uninstall_run` with the run's settings in the program,
// a stand-in in tests. It returns normally on success and throws (Failure, or any standard
// exception) on failure.
using SetupOperation = std::function<void(WindowReference window)>;

// Fills the four page records with the texts of `mode`, shows the window on the Welcome page
// through `show` and returns when the window has closed; false when it could not be shown at
// all. `large_icon` (may be null) is the window's large icon; every page shows the program's
// icon resource. Each worker performs `run`: one run reporting to the window, then the
// navigation to the Done or the Failure page. Failures are logged as "Failed: " + message and
// shown with the log's path.
//
// Install:   "Install Corvalis for Premiere Pro" [Install] [Cancel]; "Installing Corvalis",
//            "Downloading..."; "Corvalis is installed", "In Premiere Pro, open Window >
//            Extensions > Corvalis Library." [Close]; "Corvalis wasn't installed".
// Uninstall: "Remove Corvalis from Premiere Pro" [Remove] [Cancel]; "Removing Corvalis…"
//            with an empty detail; "Corvalis was removed" [Close]; "Corvalis wasn't removed".
// The Failure page shows the message, a blank line and "Log: " with the log's path, with
// [Try again] [Close].
bool show_setup_window(SetupMode mode, void* large_icon, SetupOperation run,
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
