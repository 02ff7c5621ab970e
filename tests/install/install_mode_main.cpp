// corvalis-install-mode --base URL: one install-mode run as a process of its own, for the suites
// that judge the installer from the outside. It stands where the Setup window's worker stands
// (no window, so progress reports are dropped): the run's failure is logged as the worker logs
// it, "Failed: " and the message, and the exit code tells success (0) from failure (1). A
// refused command line, or --check, is a mistake of the caller (exit code 2).
//
// A test program, never shipped: it is built only with the tests, and the POSIX platform layer
// it runs on takes every folder it writes to from the environment (TMPDIR, APPDATA and the
// Program Files variables), so a suite can point them all into a sandbox.

#include <exception>
#include <string>

#include "app/settings.h"
#include "install/install_run.h"
#include "log/setup_log.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  platform::remember_arguments(argc, argv);
  if (!scan_command_line() || check_mode()) return 2;
  try {
    install_run(nullptr);
    return 0;
  } catch (const std::exception& failure) {
    log_line("Failed: " + std::string(failure.what()));
    return 1;
  }
}
