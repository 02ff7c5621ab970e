#include "install/app_stage.h"

#include <functional>
#include <utility>

#include "failure.h"
#include "fs/commit.h"
#include "fs/files.h"
#include "fs/paths.h"
#include "install/channel.h"
#include "json/json.h"
#include "log/setup_log.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "premiere/command_bridge.h"
#include "premiere/plugin_folders.h"
#include "release/download.h"
#include "release/fetch_release_list.h"

namespace {

constexpr std::string_view control_surface_file = "Corvalis.acsrf";

std::u16string legacy_importer_folder(const std::u16string& program_files) {
  std::u16string folder = program_files;
  for (const char16_t* segment :
       {u"Adobe", u"Common", u"Plug-ins", u"7.0", u"MediaCore", u"Brackmoor"}) {
    folder = join_path(folder, segment);
  }
  return folder;
}

}  // namespace

AppRelease fetch_host_files(const std::u16string& base, const std::u16string& run_folder,
                            DownloadProgress& progress) {
  AppRelease app;
  app.version = fetch_channel_version(base, u"/app/channels/stable.json");
  const std::u16string release_base = base + u"/app/" + platform::utf8_to_utf16(app.version);
  const ReleaseList release = fetch_release_list(release_base);
  const std::vector<JsonValue>& entries = release.document.member("files").elements;
  // The files are found first, so that the bar knows all their bytes before the first arrives.
  std::vector<std::pair<const char*, const JsonValue*>> listed;
  for (const char* name : host_file_names) {
    const std::string path = std::string("host/") + name;
    for (const JsonValue& entry : entries) {
      if (entry.member("path").text != path) continue;
      listed.emplace_back(name, &entry);
      progress.expect(listed_file_size(entry));
      break;  // only the first entry with this path counts
    }
  }
  const ReceivedBytes received = [&progress](std::uint64_t bytes) { progress.received(bytes); };
  for (const auto& [name, entry] : listed) {
    HostFile file{name,
                  join_path(run_folder, u"app-" + platform::utf8_to_utf16(name) + u".download")};
    download_release_file(release_base, *entry, file.staged, received);
    progress.file_done();
    app.files.push_back(std::move(file));
  }
  return app;
}

void remove_plugin_leftovers() {
  // A replacement cut after the old plug-in went aside (one that was loaded) puts it back.
  for (const char* name : host_file_names) {
    for (const std::u16string& target : plugin_targets(name)) clear_beside_file(target);
  }
}

std::uint64_t install_host_files(const std::string& app_version, const std::vector<HostFile>& files,
                                 const std::u16string& roaming_folder,
                                 const std::function<void()>& before_placing) {
  const char* plugins_not_added =
      "Premiere's plug-ins weren't added. Make sure Premiere Pro is closed, then run Setup again.";
  before_placing();
  bool control_surface_placed = false;
  std::uint64_t bytes_placed = 0;
  for (const HostFile& file : files) {
    // One plug-in's bytes at a time, read back from its staging file: each goes to several
    // targets, and the placing takes the bytes whole.
    std::string bytes;
    int placed = 0;
    FileError error;
    if (!read_whole_file(file.staged, bytes, &error)) {
      log_line(error.line());
      throw Failure(plugins_not_added);
    }
    for (const std::u16string& target : plugin_targets(file.name)) {
      const SwitchResult result = replace_file_in_use(target, bytes, &error);
      if (result == SwitchResult::done) {
        ++placed;
        bytes_placed += bytes.size();
        continue;
      }
      // One target is enough, but each that failed is told.
      log_line(error.line());
      // A plug-in that was there and is gone is worse than an old one: the run must not end
      // as if all were well. The next run puts it back.
      if (result == SwitchResult::place_emptied) throw Failure(plugins_not_added);
    }
    if (placed == 0) throw Failure(plugins_not_added);
    if (file.name == control_surface_file) control_surface_placed = true;
  }

  for (const std::u16string& program_files : program_files_folders()) {
    const std::u16string legacy = legacy_importer_folder(program_files);
    if (platform::path_exists(legacy)) static_cast<void>(remove_tree(legacy));
  }

  log_line("Installed the plug-ins from app " + app_version);

  if (control_surface_placed) {
    const int count = switch_command_bridge_on(roaming_folder);
    if (count != 0) {
      log_line("Switched the command bridge on in " + std::to_string(count) +
               " Premiere version(s)");
    }
  }
  return bytes_placed;
}

bool remove_host_files() {
  bool removed = false;
  bool failed = false;
  for (const char* name : host_file_names) {
    for (const std::u16string& target : plugin_targets(name)) {
      const auto [folder_path, name] = folder_and_name(target);
      platform::OpenFolder folder;
      if (!platform::path_exists(target) || !folder.open(folder_path)) continue;
      const CommitPlace place{&folder, folder_path, folder, folder_path, name};
      PlaceSwitch change(place);
      FileError error;
      // Loaded by a Premiere Pro of another session, a plug-in is renamed aside all the same
      // and goes at the next restart.
      if (change.put_in_place(/*staged=*/false, /*back_to_back=*/false, &error) ==
          SwitchResult::done) {
        removed = true;
      } else {
        log_line(error.line());
        failed = true;
      }
    }
  }
  if (failed) {
    throw Failure(
        "Premiere's plug-ins weren't removed. Make sure Premiere Pro is closed, then try again.");
  }
  // The importer's own folders, made by installs, go once nothing is left in them.
  for (const std::u16string& target : plugin_targets(host_file_names[1])) {
    const std::u16string folder = folder_and_name(target).first;
    if (platform::path_exists(folder)) static_cast<void>(platform::remove_folder(folder));
  }
  return removed;
}
