#pragma once

// Where Premiere Pro loads the product's host plug-ins from. Nothing here writes; every call
// reads the process environment afresh, and none fails.

#include <string>
#include <string_view>
#include <vector>

// The value of an environment variable as a 520-unit buffer would hold it: empty when the
// variable is unset, empty, or 520 UTF-16 units long or longer.
std::u16string environment_value(std::u16string_view name);

// The values of ProgramFiles, ProgramW6432 and ProgramFiles(x86), in that order, without empty
// ones and without repeats (ASCII letters compared regardless of case; no other normalisation,
// so "C:\Program Files\" and "C:\Program Files" are two folders). 0 to 3 entries.
std::vector<std::u16string> program_files_folders();

// The value of ProgramFiles, or the platform's default Program Files folder when it reads as
// empty: where the installer's own things go.
std::u16string program_files_folder();

// Adobe\Common\Plug-ins\ControlSurface\Corvalis.acsrf under `program_files_folder()`. Only
// ProgramFiles counts, so the control-surface plug-in has exactly one place.
std::u16string control_surface_plugin_path();

// Every full path a host plug-in file (its UTF-8 name) is installed to. "Corvalis.acsrf" (exact
// bytes) has one: `control_surface_plugin_path()`. Any other name goes into the "Corvalis"
// folder of both MediaCore plug-in folders under each Program Files folder, two per folder in
// list order; the list is empty when the machine names no Program Files folder.
std::vector<std::u16string> plugin_targets(std::string_view name);
