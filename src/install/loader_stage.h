#pragma once

// The loader stage: the Corvalis panel, a CEP extension that Premiere Pro loads from the user's
// CEP extensions folder.

#include <cstdint>
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
// instead, and `roaming_folder` is not used. Returns the loader version text and the bytes placed;
// throws Failure.
struct InstalledLoader {
  std::string version;
  std::uint64_t bytes = 0;  // the panel's files, as their signed sizes add up
};
InstalledLoader install_loader(const RunSettings& settings, const std::u16string& run_folder,
                               const std::u16string& roaming_folder, DownloadProgress& progress,
                               const std::function<void()>& before_switch);

// Takes the signed-in user's panel (beneath Adobe\CEP\extensions under `roaming_folder`) away in
// one switch (fs/commit.h). False when there was none. Throws Failure("Couldn't remove the
// Corvalis panel. Restart your computer and try again.") when it cannot go, the step logged.
bool remove_panel(const std::u16string& roaming_folder);

// Clears what runs cut short left of panel switches beside the extensions folder under
// `roaming_folder` (clear_beside): a panel set aside by a switch cut between its renames goes
// back. Nothing else is touched, nothing is reported. Only the holder of the run lock calls it.
void remove_panel_leftovers(const std::u16string& roaming_folder);
