#pragma once

// One install run: wait for Premiere Pro to close, install the loader, fetch and place the app's
// host plug-ins, switch the command bridge on, and log every milestone. In check mode the run
// downloads and verifies everything into a scratch folder and touches nothing of the user's.

#include <string>

#include "install/run_settings.h"
#include "ui/progress.h"

// Returns normally on success; throws Failure with the message for the user on any failure.
// The run folder in the temporary folder is removed at every end. An install holds the run lock
// (fs/commit.h) from before its clean-up to its end, and fails with already_running_message when
// another run holds it; a check takes none. An install waits while Premiere Pro runs before it
// starts, and again before the panel switch and before the first plug-in is placed.
void install_run(const RunSettings& settings, WindowReference window);

// True while a process named "Adobe Premiere Pro.exe" (any letter case) runs in the session of
// the user the run is for (run_user_session, platform::running_process_names): another user's
// Premiere Pro holds none of this user's files, and SYSTEM's session runs none.
bool premiere_is_running();
