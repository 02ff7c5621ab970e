#include "app/entry.h"

#include <exception>
#include <string>

#include "app/settings.h"
#include "install/install_run.h"
#include "log/setup_log.h"
#include "platform/dialog.h"
#include "ui/setup_window.h"

int run_program() {
  if (!scan_command_line()) return 1;
  try {
    if (check_mode()) {
      install_run(nullptr);
      return 0;
    }
    // Window mode. POSIX draws the window in the terminal and refuses without one.
    if (!platform::prepare_user_interface()) return 1;
    // A window that could not be shown at all is no normal end: it must not look like one.
    if (!show_setup_window(platform::load_program_icon(true), install_run)) return 1;
    // The window has closed. A worker may still be running an install run: the process ends
    // now, without waiting for it and without tearing down what it uses.
    platform::end_process(0);
  } catch (const std::exception& failure) {
    // Failure with its message, or the standard library's own errors with their text.
    log_line("Check failed: " + std::string(failure.what()));
    return 1;
  }
}
