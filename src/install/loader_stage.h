#pragma once

// The loader stage: the Corvalis panel, a CEP extension that Premiere Pro loads from the user's
// CEP extensions folder.

#include <string>

// Finds the current loader version, fetches and verifies its release list, downloads every file
// it lists (all held in memory before anything is written), replaces the installed panel folder
// with them and removes the legacy panel. In check mode the extensions root is `run_folder`'s
// "extensions" folder instead of the user's. Returns the loader version text; throws Failure.
std::string install_loader(const std::u16string& run_folder);

// The folder the panel is installed into beneath an extensions root.
std::u16string panel_folder(const std::u16string& extensions_root);
