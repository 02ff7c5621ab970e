#include "install/install_run.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "failure.h"
#include "fs/commit.h"
#include "fs/files.h"
#include "fs/paths.h"
#include "install/app_stage.h"
#include "install/loader_stage.h"
#include "install/user_folders.h"
#include "log/setup_log.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/users.h"
#include "premiere/command_bridge.h"
#include "premiere/plugin_folders.h"

namespace {

constexpr std::u16string_view installing = u"Installing Corvalis";
constexpr std::u16string_view run_folder_prefix = u"corvalis-setup-";

std::u16string run_folder_path() {
  return join_path(platform::temp_folder(), std::u16string(run_folder_prefix) +
                                                decimal(platform::current_process_id()) + u"-" +
                                                decimal(platform::tick_count()));
}

// The process id of a run folder's name, "corvalis-setup-" + id + "-" + tick count, both in
// digits; 0 for any other name.
std::uint32_t run_folder_process(std::u16string_view name) {
  if (!name.starts_with(run_folder_prefix)) return 0;
  name.remove_prefix(run_folder_prefix.size());
  const std::size_t dash = name.find(u'-');
  const auto digits = [](std::u16string_view text) {
    return !text.empty() && text.size() <= 20 &&
           std::all_of(text.begin(), text.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; });
  };
  if (dash == std::u16string_view::npos || !digits(name.substr(0, dash)) ||
      !digits(name.substr(dash + 1))) {
    return 0;
  }
  std::uint64_t id = 0;
  for (const char16_t c : name.substr(0, dash)) {
    id = id * 10 + (c - u'0');
    if (id > UINT32_MAX) return 0;
  }
  return static_cast<std::uint32_t>(id);
}

// Removes the run folders that runs which were ended at once (Cancel, a power cut) could not
// remove: ours by name, of a process that no longer runs.
void remove_abandoned_run_folders() {
  const std::u16string temp = platform::temp_folder();
  platform::FolderListing listing;
  if (!listing.open(temp, std::u16string(run_folder_prefix) + u"*")) return;
  platform::FolderEntry entry;
  while (listing.next(entry)) {
    if (!entry.is_folder || entry.is_link) continue;
    const std::uint32_t process = run_folder_process(entry.name);
    if (process == 0 || platform::process_is_running(process)) continue;
    static_cast<void>(remove_tree(join_path(temp, entry.name)));  // what resists waits
  }
}

// The run's private scratch folder, removed whenever the run ends, by success or by failure.
class RunFolder {
 public:
  RunFolder() : path_(run_folder_path()) {
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

// Where the run lock lives on POSIX: the first Program Files folder, which only administrators
// may change, like the folders the run writes plug-ins to.
std::u16string run_lock_folder() {
  const std::vector<std::u16string> folders = program_files_folders();
  return folders.empty() ? std::u16string(platform::default_program_files_folder) : folders.front();
}

// Waits while Premiere Pro runs, the window saying so; nothing is logged meanwhile. True when
// it waited.
bool wait_while_premiere_runs(WindowReference window) {
  bool waited = false;
  while (premiere_is_running()) {
    report_progress(window, u"Close Premiere Pro to continue", u"Setup continues once it's closed.",
                    0);
    platform::pause(1000);
    waited = true;
  }
  return waited;
}

}  // namespace

bool premiere_is_running() {
  std::vector<std::u16string> names;
  if (!platform::running_process_names(names, run_user_session())) return false;
  for (const std::u16string& name : names) {
    if (equal_ignoring_ascii_case(name, u"Adobe Premiere Pro.exe")) return true;
  }
  return false;
}

void install_run(const RunSettings& settings, WindowReference window) {
  // Whose panel and settings the run changes is settled before anything is touched, and with it
  // where the log goes. A check touches nothing of anyone's, so it runs whoever runs it.
  const UserFolders user = settings.check ? UserFolders{} : find_user_folders();
  use_log_folder(user.temp_folder);
  log_line((settings.check ? "Checking" : "Installing") + std::string(" from ") +
           platform::utf16_to_utf8(settings.base));
  const std::u16string roaming_folder =
      settings.check ? std::u16string() : user_roaming_folder(user);
  require_usable_temp_folder();
  // A check changes nothing installed, so it runs beside any other run.
  std::optional<RunLock> lock;
  if (!settings.check) lock.emplace(run_lock_folder());

  if (!settings.check) wait_while_premiere_runs(window);

  // What runs cut short left behind goes first; a check touches nothing of the user's, and
  // clears only run folders whose process has ended.
  remove_abandoned_run_folders();
  if (!settings.check) {
    remove_panel_leftovers(roaming_folder);
    remove_plugin_leftovers();
    remove_settings_leftovers(roaming_folder);
  }

  const RunFolder run_folder;
  report_progress(window, installing, u"Downloading...", 10);

  // Premiere Pro may have been started during the downloads: before each change to what it
  // loads, the run waits again, as it did at the start, and then shows where it was.
  const auto premiere_closed = [&](std::u16string_view detail, int position) {
    return [&settings, window, detail, position] {
      if (!settings.check && wait_while_premiere_runs(window)) {
        report_progress(window, installing, detail, position);
      }
    };
  };

  DownloadProgress loader_progress(window, 10, 35);
  const std::string loader_version =
      install_loader(settings, run_folder.path(), roaming_folder, loader_progress,
                     premiere_closed(u"Downloading...", 10));
  report_progress(window, installing, u"Downloading...", 35);

  DownloadProgress app_progress(window, 35, 70);
  const AppRelease app = fetch_host_files(settings.base, run_folder.path(), app_progress);
  if (settings.check) {
    log_line("Check passed: loader " + loader_version + ", app " + app.version);
    return;
  }
  report_progress(window, installing, u"Finishing...", 70);

  install_host_files(app.version, app.files, roaming_folder, premiere_closed(u"Finishing...", 70));
  report_progress(window, installing, u"Finishing...", 95);

  log_line("Done");
}
