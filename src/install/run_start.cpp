#include "install/run_start.h"

#include <cstdint>
#include <vector>

#include "failure.h"
#include "fs/files.h"
#include "fs/paths.h"
#include "install/app_stage.h"
#include "install/loader_stage.h"
#include "install/registration.h"
#include "install/user_folders.h"
#include "log/setup_log.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/users.h"
#include "premiere/command_bridge.h"
#include "premiere/plugin_folders.h"

namespace {

constexpr std::u16string_view run_folder_prefix = u"corvalis-setup-";

// The process id of a run folder's name, "corvalis-setup-" + id + "-" + tick count, both in
// digits; 0 for any other name.
std::uint32_t run_folder_process(std::u16string_view name) {
  if (!name.starts_with(run_folder_prefix)) return 0;
  name.remove_prefix(run_folder_prefix.size());
  const std::size_t dash = name.find(u'-');
  if (dash == std::u16string_view::npos || !is_decimal(name.substr(0, dash)) ||
      !is_decimal(name.substr(dash + 1))) {
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

// Where the run lock lives on POSIX: the first Program Files folder, which only administrators
// may change, like the folders the run writes plug-ins to.
std::u16string run_lock_folder() {
  const std::vector<std::u16string> folders = program_files_folders();
  return folders.empty() ? std::u16string(platform::default_program_files_folder) : folders.front();
}

}  // namespace

bool premiere_is_running(std::uint32_t session) {
  std::vector<std::u16string> names;
  if (!platform::running_process_names(names, session)) return false;
  for (const std::u16string& name : names) {
    if (equal_ignoring_ascii_case(name, u"Adobe Premiere Pro.exe")) return true;
  }
  return false;
}

bool RunStart::wait_while_premiere_runs(WindowReference window) const {
  if (silent_ && premiere_is_running(session_)) throw Failure(premiere_open_message);
  bool waited = false;
  while (premiere_is_running(session_)) {
    report_progress(window, u"Close Premiere Pro to continue", u"Setup continues once it's closed.",
                    0);
    platform::pause(1000);
    waited = true;
  }
  return waited;
}

RunStart::RunStart(const RunSettings& settings, std::string_view first_line,
                   WindowReference window) {
  use_log_file(settings.log_file);
  if (!settings.log_file.empty() && !log_can_be_written()) {
    throw Failure("Setup couldn't write its log to " + platform::utf16_to_utf8(settings.log_file) +
                  ", so nothing was installed.");
  }
  // Whose panel and settings the run changes is settled before anything is touched, and with it
  // where the log goes. A run that changes nothing of anyone's runs whoever runs it.
  const bool changes_the_machine = !settings.check;
  const UserFolders user = changes_the_machine ? find_user_folders() : UserFolders{};
  silent_ = settings.silent;
  session_ = user.session;
  use_log_folder(user.temp_folder);
  log_line(first_line);
  if (changes_the_machine) roaming_folder_ = user_roaming_folder(user);
  require_usable_temp_folder();
  if (changes_the_machine) {
    FileError error;
    switch (lock_.take(run_lock_folder(), &error)) {
      case RunLock::Result::taken:
        break;
      case RunLock::Result::held_elsewhere:
        throw Failure(already_running_message);
      case RunLock::Result::folder_not_made:
        log_line(error.line());
        throw Failure(folder_not_made_message(error.path));
      case RunLock::Result::failed:
        log_line(error.line());
        throw Failure(
            "Setup couldn't tell whether another Setup is running, so nothing was installed.");
    }
    wait_while_premiere_runs(window);
    // What runs cut short left behind goes first, before anything of this run's own.
    remove_panel_leftovers(roaming_folder_);
    remove_plugin_leftovers();
    remove_settings_leftovers(roaming_folder_);
    remove_kept_copy_leftovers();
  }
  // Those of a process that has ended are nobody's; a run beside this one keeps its own.
  remove_abandoned_run_folders();
}

RunFolder::RunFolder()
    : path_(join_path(platform::temp_folder(), std::u16string(run_folder_prefix) +
                                                   decimal(platform::current_process_id()) + u"-" +
                                                   decimal(platform::tick_count()))) {
  FileError error;
  if (!make_folders(path_, &error)) {
    log_line(error.line());
    throw Failure(folder_not_made_message(error.path));
  }
}

RunFolder::~RunFolder() {
  static_cast<void>(remove_tree(path_));  // what stays is not the run's failure
}
