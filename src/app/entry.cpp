#include "app/entry.h"

#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include "app/settings.h"
#include "fs/commit.h"
#include "install/install_run.h"
#include "install/run_start.h"
#include "install/uninstall_run.h"
#include "install/user_folders.h"
#include "log/setup_log.h"
#include "platform/console.h"
#include "platform/dialog.h"
#include "platform/process.h"
#include "platform/text.h"
#include "ui/setup_window.h"

namespace {

// The Linux check run's echo of its log lines on standard error, each ended as a terminal ends
// lines (the log's own bytes keep their CR LF).
void echo_log_line(std::string_view line) {
  if (line.ends_with("\r\n")) line.remove_suffix(2);
  platform::write_to_console(std::string(line) + "\n");
}

// Why the command line was refused, in one line: the first --base value the scan refuses,
// judged by the scan itself, and the forms it takes.
std::string refusal_text(const std::vector<std::u16string>& arguments) {
  std::size_t i = 1;
  while (i + 1 < arguments.size() &&
         (arguments[i] != u"--base" || parse_command_line({u"", u"--base", arguments[i + 1]}))) {
    ++i;
  }
  const std::u16string value = i + 1 < arguments.size() ? arguments[i + 1] : u"";
  return "Corvalis Setup refused --base \"" + platform::utf16_to_utf8(value) +
         "\": release hosts are reached over https, plain http only on this machine; give "
         "https://HOST[:PORT][/PATH], http://localhost[:PORT][/PATH] or "
         "http://127.0.0.1[:PORT][/PATH].\n";
}

// The run the settings ask for: an uninstall with --uninstall, else an install.
void setup_run(const RunSettings& settings, WindowReference window) {
  if (settings.uninstall) {
    uninstall_run(settings, window);
  } else {
    install_run(settings, window);
  }
}

// A run that nobody watches (--silent): the same run and log lines as in the window, no window
// and no waiting, and the answer in the exit code, MSI's, which deployment tools read without
// being told: 0 done, 1618 another Setup runs or Premiere Pro is open (try again later), 1603
// any other failure.
int run_silently(const RunSettings& settings) {
  try {
    setup_run(settings, nullptr);
    return 0;
  } catch (const std::exception& failure) {
    const std::string message = failure.what();
    log_line("Failed: " + message);
    return message == already_running_message || message == premiere_open_message ? 1618 : 1603;
  }
}

}  // namespace

bool show_setup_window_for(const RunSettings& settings, void* large_icon,
                           platform::ShowDialog show) {
  // The operation carries its own copy of the settings, alive as long as any worker.
  const auto run = [settings](WindowReference window) { setup_run(settings, window); };
  return show_setup_window(settings.uninstall ? SetupMode::uninstall : SetupMode::install,
                           large_icon, run, show);
}

int run_program() {
  const std::vector<std::u16string> arguments = platform::command_line_arguments();
  std::optional<RunSettings> settings = parse_command_line(arguments);
  if (!settings) {
    platform::write_to_console(refusal_text(arguments));
    return 1;
  }
  settings->program = platform::program_path();
  try {
    // A check installs nothing, so it has nothing to remove either: --uninstall changes nothing.
    if (settings->check) {
      mirror_log_lines(echo_log_line);
      install_run(*settings, nullptr);
      return 0;
    }
    // Where no one can see a window (the services' session, where deployment tools run Setup as
    // SYSTEM), a window would wait for a press that never comes: the run is silent instead.
    if (settings->silent || runs_in_services_session()) return run_silently(*settings);
    // Window mode. Only the terminal stand-in of POSIX can refuse it, without a terminal.
    if (!platform::prepare_user_interface()) {
      std::fputs(
          "Corvalis Setup needs a terminal to show its window; run it in one, or use --check.\n",
          stderr);
      return 1;
    }
    // A window that could not be shown at all is no normal end: it must not look like one.
    if (!show_setup_window_for(*settings, platform::load_program_icon(true))) return 1;
    // The window has closed. A worker may still be running: the process ends now, without
    // waiting for it and without tearing down what it uses.
    platform::end_process(0);
  } catch (const std::exception& failure) {
    // Failure with its message, or the standard library's own errors with their text.
    log_line("Check failed: " + std::string(failure.what()));
    return 1;
  }
}
