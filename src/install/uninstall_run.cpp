#include "install/uninstall_run.h"

#include <string>

#include "install/app_stage.h"
#include "install/loader_stage.h"
#include "install/registration.h"
#include "install/run_start.h"
#include "log/setup_log.h"
#include "premiere/command_bridge.h"

namespace {

constexpr std::u16string_view removing = u"Removing Corvalis\u2026";

}  // namespace

void uninstall_run(const RunSettings& settings, WindowReference window) {
  RunSettings removal = settings;
  removal.check = false;  // an uninstall always changes the machine
  const RunStart start(removal, "Removing", window);
  report_progress(window, removing, u"", 10);

  // What Premiere Pro loads goes first, what lists Corvalis as installed last: an uninstall cut
  // short stays listed, and running it again finishes the job.
  bool removed_any = false;
  const auto removed = [&](bool done, const char* line) {
    if (done) log_line(line);
    removed_any = removed_any || done;
  };
  removed(remove_panel(start.roaming_folder()), "Removed the panel");
  report_progress(window, removing, u"", 35);
  removed(remove_host_files(), "Removed the plug-ins");
  report_progress(window, removing, u"", 60);
  const int switched_off = switch_command_bridge_off(start.roaming_folder());
  removed(switched_off != 0, ("Switched the command bridge off in " + std::to_string(switched_off) +
                              " Premiere version(s)")
                                 .c_str());
  report_progress(window, removing, u"", 85);
  const Unregistered unregistered = unregister_from_windows();
  removed(unregistered.entry_removed, "Removed the uninstall entry");
  if (!removed_any && !unregistered.copy_removed) log_line("Nothing to remove");
  report_progress(window, removing, u"", 100);
  log_line("Done");
}
