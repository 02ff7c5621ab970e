#include "install/install_run.h"

#include <vector>

#include "failure.h"
#include "fs/files.h"
#include "fs/paths.h"
#include "install/app_stage.h"
#include "install/loader_stage.h"
#include "log/setup_log.h"
#include "platform/platform.h"

namespace {

constexpr std::u16string_view installing = u"Installing Corvalis";

// The run's private scratch folder, removed whenever the run ends, by success or by failure.
class RunFolder {
 public:
  RunFolder()
      : path_(join_path(platform::temp_folder(), u"corvalis-setup-" +
                                                     decimal(platform::current_process_id()) +
                                                     u"-" + decimal(platform::tick_count()))) {
    FileError error;
    if (!make_folders(path_, &error)) {
      log_line(error.line());
      throw Failure(folder_not_made_message(error.path));
    }
  }
  RunFolder(const RunFolder&) = delete;
  RunFolder& operator=(const RunFolder&) = delete;
  ~RunFolder() { static_cast<void>(remove_tree(path_)); }  // what stays is not the run's failure

  const std::u16string& path() const { return path_; }

 private:
  std::u16string path_;
};

}  // namespace

bool premiere_is_running() {
  std::vector<std::u16string> names;
  if (!platform::running_process_names(names)) return false;
  for (const std::u16string& name : names) {
    if (equal_ignoring_ascii_case(name, u"Adobe Premiere Pro.exe")) return true;
  }
  return false;
}

void install_run(const RunSettings& settings, WindowReference window) {
  log_line((settings.check ? "Checking" : "Installing") + std::string(" from ") +
           platform::utf16_to_utf8(settings.base));

  if (!settings.check) {
    while (premiere_is_running()) {
      report_progress(window, u"Close Premiere Pro to continue",
                      u"Setup continues once it's closed.", 0);
      platform::pause(1000);
    }
  }

  const RunFolder run_folder;
  report_progress(window, installing, u"Downloading...", 10);

  DownloadProgress loader_progress(window, 10, 35);
  const std::string loader_version = install_loader(settings, run_folder.path(), loader_progress);
  report_progress(window, installing, u"Downloading...", 35);

  DownloadProgress app_progress(window, 35, 70);
  const AppRelease app = fetch_host_files(settings.base, run_folder.path(), app_progress);
  if (settings.check) {
    log_line("Check passed: loader " + loader_version + ", app " + app.version);
    return;
  }
  report_progress(window, installing, u"Finishing...", 70);

  install_host_files(app.version, app.files);
  report_progress(window, installing, u"Finishing...", 95);

  log_line("Done");
}
