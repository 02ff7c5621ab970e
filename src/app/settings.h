#pragma once

// The two process-wide settings, set once from the command line before anything else runs and
// only read afterwards (from any thread, without a lock).

#include <string>
#include <vector>

// Reads the program's command line (element 0, the program path, is skipped).
// False when a --base value is refused: the program must then end with exit code 1 at once.
bool scan_command_line();

// The same scan over given arguments (element 0 included, and skipped). Tests use it directly.
bool scan_arguments(const std::vector<std::u16string>& arguments);

// True after --check.
bool check_mode();

// The release host every request goes to; never ends in '/'.
const std::u16string& base_url();

// Puts both settings back to their initial values. Only tests call it: the program scans once.
void restore_default_settings();
