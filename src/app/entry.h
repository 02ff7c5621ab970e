#pragma once

// The program as a whole: reads the command line, then runs the check (no window) or the Setup
// window.

#include "install/run_settings.h"
#include "platform/dialog.h"

// Returns the process exit code: 0 when the program ends normally, 1 when the command line is
// refused or a failure reaches the entry. --check runs a check whatever else the command line
// asks: a check installs nothing, so --uninstall has nothing to act on there.
int run_program();

// The Setup window of window mode for `settings`: with --uninstall the uninstall's pages, each
// worker an uninstall run; otherwise the install's pages and install runs. Shown through
// `show`; returns when the window has closed, false when it could not be shown at all.
bool show_setup_window_for(const RunSettings& settings, void* large_icon,
                           platform::ShowDialog show = platform::show_task_dialog);
