#pragma once

// The command line, read once by the entry into the run's settings.

#include <optional>
#include <string>
#include <vector>

#include "install/run_settings.h"

// The settings `arguments` ask for (element 0, the program path, is skipped): --check,
// --uninstall, and the last --base followed by a value (its trailing slashes removed). No
// settings when a --base value is refused: the program must then end with exit code 1 at once.
std::optional<RunSettings> parse_command_line(const std::vector<std::u16string>& arguments);
