#include "app/entry.h"

#include <exception>
#include <string>

#include "app/settings.h"
#include "install/install_run.h"
#include "log/setup_log.h"

int run_program() {
  if (!scan_command_line()) return 1;
  try {
    if (check_mode()) {
      install_run(nullptr);
      return 0;
    }
    // The Setup window is not built yet: window mode refuses to pretend it ran.
    return 1;
  } catch (const std::exception& failure) {
    // Failure with its message, or the standard library's own errors with their text.
    log_line("Check failed: " + std::string(failure.what()));
    return 1;
  }
}
