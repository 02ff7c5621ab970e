#pragma once

// One uninstall run: wait for Premiere Pro to close, then take away everything installs placed
// (the signed-in user's panel, the plug-ins at every target, the command bridge's entries in
// every Premiere Pro version's settings, the kept copy of Setup) and, last, the uninstall entry,
// each change whole. The setup log gets "Removing", a line for each part removed, and "Done".

#include "install/run_settings.h"
#include "ui/progress.h"

// Returns normally on success, also when nothing was installed; throws Failure with the message
// for the user on any failure. Holds the run lock from before its clean-up to its end.
void uninstall_run(const RunSettings& settings, WindowReference window);
