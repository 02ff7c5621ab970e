#include "app/entry.h"

#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include "app/settings.h"
#include "install/install_run.h"
#include "log/setup_log.h"
#include "platform/dialog.h"
#include "platform/platform.h"
#include "ui/setup_window.h"

int run_program() {
  const std::optional<RunSettings> settings =
      parse_command_line(platform::command_line_arguments());
  if (!settings) return 1;
  try {
    if (settings->check) {
      install_run(*settings, nullptr);
      return 0;
    }
    // Window mode. Only the terminal stand-in of POSIX can refuse it, without a terminal.
    if (!platform::prepare_user_interface()) {
      std::fputs(
          "Corvalis Setup needs a terminal to show its window; run it in one, or use --check.\n",
          stderr);
      return 1;
    }
    // A window that could not be shown at all is no normal end: it must not look like one.
    // The operation carries its own copy of the settings, alive as long as any worker.
    const auto run = [settings = *settings](WindowReference window) {
      install_run(settings, window);
    };
    if (!show_setup_window(platform::load_program_icon(true), run)) return 1;
    // The window has closed. A worker may still be running an install run: the process ends
    // now, without waiting for it and without tearing down what it uses.
    platform::end_process(0);
  } catch (const std::exception& failure) {
    // Failure with its message, or the standard library's own errors with their text.
    log_line("Check failed: " + std::string(failure.what()));
    return 1;
  }
}
