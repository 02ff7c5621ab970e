#pragma once

// The program as a whole: reads the command line, then runs the check (no window) or the Setup
// window.

#include "install/run_settings.h"
#include "platform/dialog.h"

// Returns the process exit code: 0 when the program ends normally, 1 when the command line is
// refused or a check fails. --check runs a check whatever else the command line asks: a check
// installs nothing, so --uninstall and --silent have nothing to act on there. --silent runs the
// install (or with --uninstall the uninstall) without a window and answers 0, 1618 (another
// Setup runs, or Premiere Pro is open) or 1603 (any other failure, its message logged). Window
// mode in the services' session, whose desktop nobody sees, runs as --silent does.
int run_program();

// The Setup window of window mode for `settings`: with --uninstall the uninstall's pages, each
// worker an uninstall run; otherwise the install's pages and install runs. Shown through
// `show`; returns when the window has closed, false when it could not be shown at all.
bool show_setup_window_for(const RunSettings& settings, void* large_icon,
                           platform::ShowDialog show = platform::show_task_dialog);
