#pragma once

// The loader stage: the Corvalis panel, a CEP extension that Premiere Pro loads from the user's
// CEP extensions folder.

#include <string>

#include "install/run_settings.h"
#include "ui/progress.h"

// Finds the current loader version, fetches and verifies its release list, downloads every file
// it lists into staging files in `run_folder` (all of them before anything is written, their
// bytes moving `progress`), replaces the installed panel folder with them and removes the legacy
// panel. The extensions root is Adobe\CEP\extensions under `roaming_folder` (the user's, see
// user_roaming_folder); in check mode it is `run_folder`'s "extensions" folder instead, and
// `roaming_folder` is not used. Returns the loader version text; throws Failure.
std::string install_loader(const RunSettings& settings, const std::u16string& run_folder,
                           const std::u16string& roaming_folder, DownloadProgress& progress);

// Removes what runs cut short left of panel switches: the staging and set-aside copies of the
// panel folder beside the extensions folder under `roaming_folder`. Nothing else is touched,
// nothing is reported.
void remove_panel_leftovers(const std::u16string& roaming_folder);
