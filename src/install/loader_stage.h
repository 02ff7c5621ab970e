#pragma once

// The loader stage: the Corvalis panel, a CEP extension that Premiere Pro loads from the user's
// CEP extensions folder.

#include <functional>
#include <string>

#include "install/run_settings.h"
#include "ui/progress.h"

// Finds the current loader version, fetches and verifies its release list, downloads every file
// it lists into staging files in `run_folder` (all of them before anything is written, their
// bytes moving `progress`), puts the new panel together, calls `before_switch` (which may wait,
// or throw), replaces the installed panel folder with the new one in one switch (fs/commit.h)
// and removes the legacy panel. The extensions root is Adobe\CEP\extensions under `roaming_folder`
// (the user's, see user_roaming_folder); in check mode it is `run_folder`'s "extensions" folder
// instead, and `roaming_folder` is not used. Returns the loader version text; throws Failure.
std::string install_loader(const RunSettings& settings, const std::u16string& run_folder,
                           const std::u16string& roaming_folder, DownloadProgress& progress,
                           const std::function<void()>& before_switch);

// Clears what runs cut short left of panel switches beside the extensions folder under
// `roaming_folder` (clear_beside): a panel set aside by a switch cut between its renames goes
// back. Nothing else is touched, nothing is reported. Only the holder of the run lock calls it.
void remove_panel_leftovers(const std::u16string& roaming_folder);
