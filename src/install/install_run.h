#pragma once

// One install run: wait for Premiere Pro to close, install the loader, fetch and place the app's
// host plug-ins, switch the command bridge on, and log every milestone. In check mode the run
// downloads and verifies everything into a scratch folder and touches nothing of the user's.

#include <string>

#include "install/run_settings.h"
#include "ui/progress.h"

// Returns normally on success; throws Failure with the message for the user on any failure.
// The run folder in the temporary folder is removed at every end.
void install_run(const RunSettings& settings, WindowReference window);

// True while a process named "Adobe Premiere Pro.exe" (any letter case) runs.
bool premiere_is_running();
