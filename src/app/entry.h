#pragma once

// The program as a whole: reads the command line, then runs the check (no window) or the Setup
// window. Returns the process exit code: 0 when the program ends normally, 1 when the command
// line is refused or a failure reaches the entry.
int run_program();
