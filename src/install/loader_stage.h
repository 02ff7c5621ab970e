#pragma once

// The loader stage: the Corvalis panel, a CEP extension that Premiere Pro loads from the user's
// CEP extensions folder.

#include <string>

#include "install/run_settings.h"
#include "ui/progress.h"

// Finds the current loader version, fetches and verifies its release list, downloads every file
// it lists into staging files in `run_folder` (all of them before anything is written, their
// bytes moving `progress`), replaces the installed panel folder with them and removes the legacy
// panel. In check mode the extensions root is `run_folder`'s "extensions" folder instead of the
// user's. Returns the loader version text; throws Failure.
std::string install_loader(const RunSettings& settings, const std::u16string& run_folder,
                           DownloadProgress& progress);
