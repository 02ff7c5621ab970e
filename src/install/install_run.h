#pragma once

// One install run: wait for Premiere Pro to close, install the loader, fetch and place the app's
// host plug-ins, switch the command bridge on, and log every milestone. In check mode the run
// downloads and verifies everything into a scratch folder and touches nothing of the user's.

#include <string>

#include "install/run_settings.h"
#include "ui/progress.h"

// Returns normally on success; throws Failure with the message for the user on any failure.
// The run folder in the temporary folder is removed at every end. An install holds the run lock
// (fs/commit.h, install/run_start.h) from before its clean-up to its end, and fails with
// already_running_message when another run holds it; a check takes none. An install waits while
// Premiere Pro runs before it starts, and again before the panel switch and before the first
// plug-in is placed (a silent one ends instead).
void install_run(const RunSettings& settings, WindowReference window);
