#include "install/install_run.h"

#include <cstdint>
#include <string>

#include "install/app_stage.h"
#include "install/loader_stage.h"
#include "install/registration.h"
#include "install/run_start.h"
#include "log/setup_log.h"
#include "platform/text.h"

namespace {

constexpr std::u16string_view installing = u"Installing Corvalis";

}  // namespace

void install_run(const RunSettings& settings, WindowReference window) {
  const RunStart start(settings,
                       (settings.check ? "Checking" : "Installing") + std::string(" from ") +
                           platform::utf16_to_utf8(settings.base),
                       window);
  const std::u16string& roaming_folder = start.roaming_folder();

  const RunFolder run_folder;
  report_progress(window, installing, u"Downloading...", 10);

  // Premiere Pro may have been started during the downloads: before each change to what it
  // loads, the run waits again, as it did at the start, and then shows where it was.
  const auto premiere_closed = [&](std::u16string_view detail, int position) {
    return [&settings, &start, window, detail, position] {
      if (!settings.check && start.wait_while_premiere_runs(window)) {
        report_progress(window, installing, detail, position);
      }
    };
  };

  DownloadProgress loader_progress(window, 10, 35);
  const InstalledLoader loader =
      install_loader(settings, run_folder.path(), roaming_folder, loader_progress,
                     premiere_closed(u"Downloading...", 10));
  report_progress(window, installing, u"Downloading...", 35);

  DownloadProgress app_progress(window, 35, 70);
  const AppRelease app = fetch_host_files(settings.base, run_folder.path(), app_progress);
  if (settings.check) {
    log_line("Check passed: loader " + loader.version + ", app " + app.version);
    return;
  }
  report_progress(window, installing, u"Finishing...", 70);

  const std::uint64_t plugin_bytes = install_host_files(app.version, app.files, roaming_folder,
                                                        premiere_closed(u"Finishing...", 70));
  report_progress(window, installing, u"Finishing...", 95);

  // What was installed works from here; Windows learns how to take it away again.
  register_with_windows(settings.program, app.version, loader.bytes + plugin_bytes);
  log_line("Done");
}
